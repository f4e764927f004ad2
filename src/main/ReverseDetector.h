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
#include <memory>
#include <string>

#include "main/Configs.h"
#include "main/InboundStreams.h"
#include "main/ServerProbe.h"
#include "wire/DetectProtocol.h"

namespace tovali {
class TcpStream;
}  // namespace tovali

namespace palvex {

class ReverseDetector : public ServerProbe {
 public:
  explicit ReverseDetector(ReverseConfig config);
  // Tears down resolver, sender, listener and inbound streams, then prints and logs the result
  // record and stores the ISP code.
  ~ReverseDetector() override;

 private:
  void OnServerChosen() override;
  void OnAccept(tovali::TcpStream* stream) override;
  void OnSenderOpen();
  int OnSenderData(const char* data, size_t len);
  void OnSenderError(int code);
  // A complete frame arrived on an inbound connection: the run ends with success.
  void OnFrame(const std::string& detect_addr);
  void Report();

  std::unique_ptr<tovali::TcpStream> sender_;
  DetectReply reply_;  // the mapped address and location codes, as the server last sent them
  std::unique_ptr<InboundStreams> inbound_;
  std::string detect_addr_;
  int32_t p2p_status_ = -1;
};

}  // namespace palvex
