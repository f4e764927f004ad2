// What the modes that talk to the detection server share: a listening port drawn from the
// configured range (every outbound connection is made from it, with address and port reuse),
// the server's address (resolved, checked to be public, or taken from the built-in table), and
// the run's deadline. A derived class takes over once both are ready.
//
// main constructs a derived object, calls Context::Run once and destroys it. Everything else
// happens in loop callbacks on the main thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Context.h"
#include "main/Configs.h"
#include "tovali/Network/dns_request.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/log/log_handle.h"

namespace tovali {
class DnsResolver;
class TcpStream;
}  // namespace tovali

namespace palvex {

// A port drawn uniformly from [min, max] with the thread's random engine; swapped bounds are
// taken in the right order.
uint16_t RandomPort(uint16_t min, uint16_t max);

// Neither private nor reserved, for the family of `ipv6`.
bool IsPublicAddress(const std::string& ip, bool ipv6);

class ServerProbe : public Context {
 public:
  static constexpr int kAcceptBacklog = 1024;

 protected:
  // Arms the start timer (0 ms) and the timeout timer (config.timeout ms, counted from here).
  // Touches no socket before the loop runs.
  ServerProbe(ReverseConfig config, const char* log_tag);
  ~ServerProbe() override;

  // Listening on listen_port_, and server_ip_ chosen (empty when nothing could be).
  virtual void OnServerChosen() = 0;
  // A connection accepted on the listening port; the callee owns it.
  virtual void OnAccept(tovali::TcpStream* stream) = 0;
  // The run's time is up: logs and ends the loop.
  virtual void OnTimeout();

  // A stream that connects from the listening port, with the configured address and interface.
  std::unique_ptr<tovali::TcpStream> NewSender();
  // Closes the resolver and the listener: the derived destructor's teardown before its report.
  void StopProbe();
  // Prints the result line and flushes it, logs it as "<what> result", and stores the ISP code.
  void Publish(const std::string& json, uint16_t isp, const char* what);

  tovali::LogHandle log_;
  ReverseConfig config_;
  // Set in the constructor: false for a mode that makes its own sockets and needs no TCP
  // listening port (listen_port_ then stays 0).
  bool listen_tcp_ = true;
  std::string server_ip_;
  uint16_t listen_port_ = 0;

 private:
  void Start();
  // Resolves -H, or takes a built-in address; OnServerChosen follows on a later pass.
  void ChooseServer();
  void Resolve();
  void OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips);
  void OnListenerError(tovali::TcpListener::Code code);
  const std::string& BackupIp();

  tovali::Timer start_timer_;
  tovali::Timer timeout_timer_;
  tovali::Timer chosen_timer_;
  std::unique_ptr<tovali::DnsResolver> resolver_;
  std::unique_ptr<tovali::TcpListener> listener_;
  std::map<std::string, std::vector<std::string>> backup_ipv4_;
  std::map<std::string, std::vector<std::string>> backup_ipv6_;
};

}  // namespace palvex
