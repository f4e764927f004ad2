// One client connection: reads the request frame within the read deadline, answers with the
// mapped address and the location codes in one send, hands a full detection's dial-back to the
// worker, and holds the connection until the device closes it or the hold deadline passes. A
// request that is bad, late or over a limit is closed without a reply and counted by reason.
//
// Loop thread of its worker only. The worker owns every session; a session reports its end with
// ServiceWorker::OnSessionDone, after which the worker destroys it on a later loop pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/FrameReader.h"
#include "server/ServiceMetrics.h"
#include "tovali/Network/event_loop.h"

namespace tovali {
class TcpStream;
}

namespace palvexd {

class ServiceWorker;

class ClientSession {
 public:
  // Takes the accepted, open `stream` of a connection that already holds a connection slot and
  // a source admission for `source_ip`; both are given back when the session ends.
  ClientSession(ServiceWorker& worker, std::unique_ptr<tovali::TcpStream> stream,
                std::string source_ip, uint16_t source_port);
  ~ClientSession();

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Arms the read deadline. Calls nothing back before it returns.
  void Start();
  // The service is stopping: closes at once, counting a request still being read. Calls
  // nothing back.
  void Shutdown();

 private:
  int OnData(const char* data, size_t len);
  void OnError(int code);
  void OnDeadline();
  void OnRequest();
  // Closes without a reply, counts, logs; then ends.
  void Refuse(Reject reason);
  // Closes, gives back what the connection held and reports the end to the worker: the last
  // call of any path.
  void End();
  // Closes and gives back what the connection held, once: the session has ended.
  void Close();
  void Release();

  ServiceWorker& worker_;
  std::unique_ptr<tovali::TcpStream> stream_;
  std::string source_ip_;
  uint16_t source_port_;
  FrameReader reader_;
  tovali::Timer deadline_;
  bool replied_ = false;
  bool ended_ = false;
};

}  // namespace palvexd
