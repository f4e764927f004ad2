// The dial-back of one full detection (or one test of a NAT grading): after the configured delay, a
// TCP connection from the service to exactly the address and port it observed for the request, from
// the address the request arrived on (or the configured dial-back source) and an ephemeral port. On
// connect it sends one frame (version 1, the server id) and writes the request's record with the
// outcome and the connect time; a failure or timeout writes the record with its outcome instead.
// The connection then lingers until the frame is out and the device has closed, or the linger time
// passes. One attempt, never a retry.
//
// Loop thread of its worker only. The host owns every dial-back; a dial-back reports its end
// with DialbackHost::DialbackDone, after which the host destroys it on a later loop pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/DetectRecord.h"
#include "server/Hosts.h"
#include "server/ServerConfig.h"
#include "tovali/Network/event_loop.h"

namespace tovali {
class TcpStream;
}

namespace palvexd {

// A NAT grading's dial-back: it sends the grading's frame (nonce and test name), connects
// within the grading timeout and reports its outcome to the host instead of writing a record.
struct GradingDial {
  std::string nonce;  // empty: a full detection's dial-back
  GradingTest test = kFromOtherPort;
};

class Dialback {
 public:
  // Holds one of the service's dial-back slots, given back when it ends.
  Dialback(DialbackHost& host, const ServerConfig& config, event_base* loop, DetectRecord record,
           std::string target_ip, uint16_t target_port, bool ipv4, std::string source_ip,
           GradingDial grading = {});
  // Gives back the slot; writes nothing (Abort first when the record is still due).
  ~Dialback();

  Dialback(const Dialback&) = delete;
  Dialback& operator=(const Dialback&) = delete;

  // Arms the delay. Calls nothing back before it returns.
  void Start(uint32_t delay_ms);
  // Ends at once (the service's drain time is over): a dial-back without an outcome is recorded
  // as a timeout. Calls nothing back.
  void Abort();

 private:
  enum Stage { kDelayed, kConnecting, kLingering, kEnded };

  void Connect();
  void OnOpen();
  void OnError(int code);
  void OnTimer();
  // Writes the record with `outcome` once; later calls do nothing.
  void Report(DialbackOutcome outcome, uint64_t connect_us);
  // Reports the end to the host: the last call of any path.
  void End();
  // Closes and gives back the dial-back slot, once: the dial-back has ended.
  void Close();

  DialbackHost& host_;
  const ServerConfig& config_;
  event_base* loop_;
  DetectRecord record_;
  std::string target_ip_;
  uint16_t target_port_;
  bool ipv4_;
  std::string source_ip_;
  GradingDial grading_;
  std::unique_ptr<tovali::TcpStream> stream_;
  tovali::Timer timer_;
  Stage stage_ = kDelayed;
  int64_t connect_start_us_ = 0;
  bool reported_ = false;
};

// The outcome of a failed connect: the stream's code and the errno behind it.
DialbackOutcome ClassifyConnectFailure(int code, int err);

}  // namespace palvexd
