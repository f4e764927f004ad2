// One client connection: reads the request frame within the read deadline, answers with the
// mapped address and the location codes in one send, hands a full detection's dial-back to its
// host, and holds the connection until the device closes it or the hold deadline passes. A
// request that is bad, late or over a limit is closed without a reply and counted by reason.
//
// Loop thread of its worker only. The host owns every session; a session reports its end with
// SessionHost::SessionDone, after which the host destroys it on a later loop pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/Hosts.h"
#include "server/ServerConfig.h"
#include "tovali/Network/event_loop.h"
#include "wire/Frame.h"

namespace tovali {
class TcpStream;
}

namespace palvexd {

class ClientSession {
 public:
  // Takes the accepted, open `stream` of a connection that already holds a connection slot and
  // a source admission for its peer; both are given back when the session ends.
  ClientSession(SessionHost& host, const ServerConfig& config, event_base* loop,
                std::unique_ptr<tovali::TcpStream> stream);
  ~ClientSession();

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Arms the read deadline. Calls nothing back before it returns.
  void Start();
  // The service is stopping: closes at once, counting a request still being read. Calls
  // nothing back.
  void Shutdown();
  // A dial-back of this session's grading failed: the device hears it at once, so that it
  // need not wait for a connection that will not come.
  void ReportFailure(GradingTest test, DialbackOutcome outcome);

 private:
  // Reading the request, holding the connection after the reply, or ended.
  enum class Stage : uint8_t { kReading, kHolding, kEnded };

  int OnData(const char* data, size_t len);
  void OnError(int code);
  void OnDeadline();
  void OnRequest();
  void OnGradeRequest();
  // Closes without a reply, counts, logs; then ends.
  void Refuse(Reject reason);
  // Closes, gives back what the connection held and reports the end to the host: the last
  // call of any path.
  void End();
  // Closes and gives back what the connection held, once: the session has ended.
  void Close();

  SessionHost& host_;
  const ServerConfig& config_;
  std::unique_ptr<tovali::TcpStream> stream_;
  palvex::FrameReader reader_;
  tovali::Timer deadline_;
  Stage stage_ = Stage::kReading;
  std::string grading_nonce_;  // while the host may report this session's dial-backs
};

}  // namespace palvexd
