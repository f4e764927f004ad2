// The nat subcommand: grades the TCP NAT in front of this device against a detection server on
// two addresses and two ports. From the listening port it sends one grading request to the
// server's primary endpoint, waits for the server's two connections back (from its other
// address, and from its primary address with another port) to arrive or be reported failed,
// and only then asks the server's other address (and other port) for the mapped endpoint: a
// connection there any earlier would open the very filter being tested. The destructor prints
// the one JSON result line, whatever ended the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "main/Configs.h"
#include "main/InboundStreams.h"
#include "main/ServerProbe.h"
#include "wire/Frame.h"
#include "wire/GradeProtocol.h"
#include "wire/NatGrade.h"

namespace tovali {
class TcpStream;
}  // namespace tovali

namespace palvex {

class NatDetector : public ServerProbe {
 public:
  // Share of the run's time the filtering tests may take; the mapping requests get the rest.
  static constexpr uint32_t kWaitPercent = 60;
  // A service message is a few hundred bytes.
  static constexpr uint32_t kMaxMessage = 4096;

  explicit NatDetector(ReverseConfig config);
  // Tears everything down, then prints and logs the result line and stores the ISP code.
  ~NatDetector() override;

 private:
  // The grading request (0) and the two mapping requests: other address and primary port (1),
  // the other port (2), as the mapped endpoints are numbered.
  struct Query {
    std::unique_ptr<tovali::TcpStream> stream;
    std::unique_ptr<FrameReader> reader;
    std::string local;  // this end of the connection, "ip:port"
    bool asked = false;
    bool done = false;
  };

  void OnServerChosen() override;
  void OnAccept(tovali::TcpStream* stream) override;
  void Ask(int index, const std::string& ip, uint16_t port);
  void OnQueryOpen(int index);
  int OnQueryData(int index, const char* data, size_t len);
  // The query is over (answered, failed or closed); closes it.
  void EndQuery(int index);
  // False when the message was not one this query may get.
  bool OnMessage(int index, const GradeMessage& message);
  void OnDialback(uint16_t version, const std::string& payload);
  // A test decided: arrived or failed; the wait may then be over.
  void Decide(int test, DialbackTest state);
  void EndWaitIfDecided();
  // The filtering tests are decided (or their time is up): the mapping may be asked.
  void EndWait();
  void StartMapping();
  void EndIfAnswered();
  void Report();

  std::string nonce_;
  std::unique_ptr<InboundStreams> inbound_;
  tovali::Timer wait_timer_;
  Query queries_[3];
  bool replied_ = false;
  GradeMessage reply_;
  std::string other_ip_;              // the other address, when it may be contacted
  bool arrived_[2] = {false, false};  // a matching dial-back came, maybe before the reply
  bool waiting_ = true;
  bool asking_ = false;
  NatObservation seen_;
};

}  // namespace palvex
