// One event loop of the service on a thread of its own: its own listening sockets (sharing the
// ports with the other workers through SO_REUSEPORT), the client sessions it accepted and the
// dial-backs it started. Workers share only the ServiceState.
//
// Threads: construction, Listen, Start, Join and destruction run on the main thread, before
// Start or after Join; RequestStop may run on any thread; everything else runs on the worker's
// own loop thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/DetectRecord.h"
#include "server/ServiceState.h"
#include "tovali/Network/event_loop.h"

namespace tovali {
class TcpListener;
class TcpStream;
}  // namespace tovali

namespace palvexd {

class ClientSession;
class Dialback;

class ServiceWorker {
 public:
  ServiceWorker(ServiceState& state, uint32_t index);
  ~ServiceWorker();

  ServiceWorker(const ServiceWorker&) = delete;
  ServiceWorker& operator=(const ServiceWorker&) = delete;

  // Binds and listens on every endpoint; with `reuse_port` each worker gets a socket of its own
  // on the same port. With `skip_unsupported`, an endpoint whose family the host lacks is left
  // out with a warning. False with a reason in *error; true when at least one socket listens.
  bool Listen(const std::vector<Endpoint>& endpoints, bool reuse_port, bool skip_unsupported,
              std::string* error);
  // Runs the loop on a new thread until a stop has drained.
  bool Start();
  // Stop accepting, close the client connections, give dial-backs in flight up to the linger
  // time to finish and write their records, then end the loop.
  void RequestStop();
  void Join();

  // ---- loop thread, for sessions and dial-backs
  // The session has ended; destroyed on a later loop pass.
  void OnSessionDone(ClientSession* session);
  // Starts the dial-back of a full detection, from the record's local address unless the
  // configuration names one; the request already holds a dial-back slot.
  void StartDialback(DetectRecord record, const std::string& target_ip, uint16_t target_port,
                     bool ipv4);
  void OnDialbackDone(Dialback* dialback);
  // Queues the record's line; lines go out at the end of the loop pass.
  void WriteRecord(const DetectRecord& record);
  // Counts and logs a connection closed without a reply.
  void CountRefusal(Reject reason, const std::string& ip, bool ipv4, uint16_t port);

  ServiceState& state() { return state_; }
  event_base* base() const { return loop_.base(); }
  const std::string& tag() const { return tag_; }

 private:
  void OnAccept(std::unique_ptr<tovali::TcpStream> stream);
  void OnWakeup();
  void Drain();
  void OnDrainDeadline();
  void ExitWhenDrained();
  void FlushRecords();

  ServiceState& state_;
  const std::string tag_;
  tovali::EventLoop loop_;
  tovali::DeferredQueue deferred_;
  tovali::AsyncEvent wakeup_;
  tovali::Timer drain_timer_;
  std::vector<std::unique_ptr<tovali::TcpListener>> listeners_;
  std::unordered_map<ClientSession*, std::unique_ptr<ClientSession>> sessions_;
  std::unordered_map<Dialback*, std::unique_ptr<Dialback>> dialbacks_;
  std::atomic<bool> stop_requested_{false};
  bool draining_ = false;
  std::string pending_records_;  // whole lines, each with its line feed
  std::thread thread_;
};

}  // namespace palvexd
