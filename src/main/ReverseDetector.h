// The default mode: finds out whether a detection server can connect back to this device, and
// learns the device's mapped address and location codes from it. Listens on a random port,
// connects to the server from that same port (both sockets with address and port reuse), sends
// the detect request, takes the reply, and waits for one complete frame on an accepted
// connection. The destructor prints the one JSON result line, whatever ended the run.
//
// main constructs it, calls Context::Run once and destroys it. Everything else happens in loop
// callbacks on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Context.h"
#include "main/Configs.h"
#include "main/InboundStreams.h"
#include "tovali/Network/dns_request.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/log/log_handle.h"
#include "wire/DetectProtocol.h"

namespace tovali {
class DnsResolver;
class TcpStream;
}  // namespace tovali

namespace palvex {

// A port drawn uniformly from [min, max] with the thread's random engine; swapped bounds are
// taken in the right order.
uint16_t RandomPort(uint16_t min, uint16_t max);

class ReverseDetector : public Context {
 public:
  static constexpr int kAcceptBacklog = 1024;

  // Arms the start timer (0 ms) and the timeout timer (config.timeout ms, counted from here).
  // Touches no socket before the loop runs.
  explicit ReverseDetector(ReverseConfig config);
  // Tears down resolver, sender, listener and inbound streams, then prints and logs the result
  // record and stores the ISP code.
  ~ReverseDetector() override;

 private:
  void Start();
  void Resolve();
  void Detect();
  void OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips);
  void OnAccept(tovali::TcpStream* stream);
  void OnListenerError(tovali::TcpListener::Code code);
  void OnSenderOpen();
  int OnSenderData(const char* data, size_t len);
  void OnSenderError(int code);
  void OnTimeout();
  // A complete frame arrived on an inbound connection: the run ends with success.
  void OnFrame(const std::string& detect_addr);
  const std::string& BackupIp();
  void Report();

  tovali::LogHandle log_{"[DTR]"};
  ReverseConfig config_;
  tovali::Timer start_timer_;
  tovali::Timer timeout_timer_;
  std::unique_ptr<tovali::DnsResolver> resolver_;
  std::string server_ip_;
  tovali::Timer detect_timer_;
  uint16_t listen_port_ = 0;
  std::unique_ptr<tovali::TcpListener> listener_;
  std::unique_ptr<tovali::TcpStream> sender_;
  DetectReply reply_;  // the mapped address and location codes, as the server last sent them
  std::unique_ptr<InboundStreams> inbound_;
  std::string detect_addr_;
  int32_t p2p_status_ = -1;
  std::map<std::string, std::vector<std::string>> backup_ipv4_;
  std::map<std::string, std::vector<std::string>> backup_ipv6_;
};

}  // namespace palvex
