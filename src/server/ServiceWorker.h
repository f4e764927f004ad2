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

#include "server/ClientSession.h"
#include "server/DetectRecord.h"
#include "server/Dialback.h"
#include "server/Hosts.h"
#include "server/ServiceState.h"
#include "tovali/Network/event_loop.h"
#include "tovali/Network/owned_set.h"

namespace tovali {
class TcpListener;
class TcpStream;
}  // namespace tovali

namespace palvexd {

class ServiceWorker final : public SessionHost, public DialbackHost {
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

  // ---- loop thread: what sessions and dial-backs may ask
  const tovali::LogHandle& log() const override { return log_; }
  bool TakeDialbackSlot() override { return state_.dialbacks.TryAcquire(); }
  Location Locate(const std::string& ip) override { return state_.Locate(ip); }
  void CountRequest(uint16_t version, uint16_t isp) override {
    state_.metrics.CountRequest(version, isp);
  }
  void CountReject(Reject reason) override { state_.metrics.CountReject(reason); }
  void Refuse(Reject reason, const std::string& ip, bool ipv4, uint16_t port) override;
  // From the record's local address unless the configuration names one.
  void StartDialback(DetectRecord record, const std::string& target_ip, uint16_t target_port,
                     bool ipv4) override;
  // Queues the record's line; lines go out at the end of the loop pass.
  void WriteRecord(const DetectRecord& record) override;
  void ReleaseConnection(const std::string& source_ip) override;
  void SessionDone(ClientSession* session) override;
  void CountGradingRequest(bool mapping_only, uint16_t isp) override {
    state_.metrics.CountGradingRequest(mapping_only, isp);
  }
  bool StartGrading(ClientSession* session, Grading grading, const std::string& target_ip,
                    uint16_t target_port, bool ipv4, Reject* reason) override;
  void GradingSessionEnded(const std::string& nonce) override { graders_.erase(nonce); }
  bool AddMapping(const std::string& nonce, MappingSlot slot, const std::string& mapped,
                  const std::string& device_local) override;
  void GradingDialbackDone(const std::string& nonce, GradingTest test,
                           DialbackOutcome outcome) override;
  void CountDialback(DialbackOutcome outcome, uint64_t connect_us, uint16_t isp) override {
    state_.metrics.CountDialback(outcome, connect_us, isp);
  }
  void ReleaseDialbackSlot() override { state_.dialbacks.Release(); }
  void DialbackDone(Dialback* dialback) override;

 private:
  void OnAccept(std::unique_ptr<tovali::TcpStream> stream);
  // Stops every listener of this worker for a while: descriptors ran out, or every connection
  // slot is taken. Logged and counted once until a connection is admitted again.
  void PauseAccepting(const char* why);
  void OnWakeup();
  void Drain();
  void OnDrainDeadline();
  void ExitWhenDrained();
  void FlushRecords();
  // Writes the records of finished gradings and counts their grades.
  void WriteGradings(std::vector<Grading>* done);
  // The dial-back source for the address a request arrived on.
  std::string DialbackSource(const std::string& local, bool ipv4) const;

  ServiceState& state_;
  const tovali::LogHandle log_;
  tovali::EventLoop loop_;
  tovali::DeferredQueue deferred_;
  tovali::AsyncEvent wakeup_;
  tovali::Timer drain_timer_;
  std::vector<std::unique_ptr<tovali::TcpListener>> listeners_;
  tovali::OwnedSet<ClientSession> sessions_;
  tovali::OwnedSet<Dialback> dialbacks_;
  // The sessions holding a grading's connection, by nonce: where its failures are reported.
  std::unordered_map<std::string, ClientSession*> graders_;
  int64_t paused_since_ms_ = -1;  // accepting paused since; -1: accepting
  std::atomic<bool> stop_requested_{false};
  bool draining_ = false;
  std::string pending_records_;  // whole lines, each with its line feed
  std::thread thread_;
};

}  // namespace palvexd
