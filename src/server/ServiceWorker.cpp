#include "server/ServiceWorker.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "tovali/Network/tcp_listener.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

namespace palvexd {
namespace {

// Bursts of thousands of devices arrive at once; the kernel caps this at somaxconn.
constexpr int kBacklog = 4096;
// A request is a few dozen bytes: no recv needs to take more than this.
constexpr size_t kSessionReadSize = 1024;
// Record lines are written in batches of at most about this size.
constexpr size_t kRecordBatchBytes = 64 * 1024;

const char* DescribeListen(tovali::TcpListener::Code code) {
  switch (code) {
    case tovali::TcpListener::SocketFailed:
      return "socket failed";
    case tovali::TcpListener::BindFailed:
      return "bind failed";
    case tovali::TcpListener::ListenFailed:
      return "listen failed";
    default:
      return "cannot listen";
  }
}

}  // namespace

ServiceWorker::ServiceWorker(ServiceState& state, uint32_t index)
    : state_(state), log_("[W" + std::to_string(index) + "]") {
  loop_.Create(tovali::EventLoop::kCoarseTimers);
  deferred_.Init(loop_.base());
  sessions_.Init(loop_.base());
  dialbacks_.Init(loop_.base());
  wakeup_.Init(loop_.base(), [this] { OnWakeup(); });
  wakeup_.Start();
  drain_timer_.Init(loop_.base(), [this] { OnDrainDeadline(); });
}

ServiceWorker::~ServiceWorker() {
  Join();
  // Only when the loop never ran its drain: nothing is left otherwise.
  dialbacks_.ForEach([](Dialback& dialback) { dialback.Abort(); });
  sessions_.ForEach([](ClientSession& session) { session.Shutdown(); });
  FlushRecords();
}

bool ServiceWorker::Listen(const std::vector<Endpoint>& endpoints, bool reuse_port,
                           bool skip_unsupported, std::string* error) {
  if (loop_.base() == nullptr) {
    *error = "cannot create an event loop";
    return false;
  }
  for (const Endpoint& endpoint : endpoints) {
    auto listener = std::make_unique<tovali::TcpListener>(loop_.base(), endpoint.ipv4, log_.tag(),
                                                          /*quiet=*/true, "");
    listener->reuse_addr = true;
    listener->reuse_port = reuse_port;
    listener->backlog = kBacklog;
    listener->stream_read_size = kSessionReadSize;
    listener->on_stream = [this](tovali::TcpStream* stream) {
      OnAccept(std::unique_ptr<tovali::TcpStream>(stream));
    };
    const std::string where = palvex::FormatAddress(endpoint.ip, !endpoint.ipv4, endpoint.port);
    listener->on_error = [this, where](tovali::TcpListener::Code code) {
      HLOG_ERROR(log_, "listener %s failed: %d", where.c_str(), code);
    };
    listener->on_pause = [this](int err) {
      PauseAccepting(err == EMFILE || err == ENFILE ? "out of descriptors" : "out of memory");
    };
    errno = 0;
    tovali::TcpListener::Code rc = listener->Start(endpoint.port, endpoint.ip);
    if (rc != tovali::TcpListener::Ok) {
      int err = errno;
      if (skip_unsupported && rc == tovali::TcpListener::SocketFailed && err == EAFNOSUPPORT) {
        HLOG_WARN(log_, "%s skipped: address family not supported", where.c_str());
        continue;
      }
      *error = where + ": " + DescribeListen(rc) +
               (err != 0 ? std::string(": ") + std::strerror(err) : "");
      return false;
    }
    listeners_.push_back(std::move(listener));
  }
  if (listeners_.empty()) {
    *error = "no address to listen on";
    return false;
  }
  return true;
}

bool ServiceWorker::Start() {
  thread_ = std::thread([this] {
    loop_.Run(0);
    FlushRecords();
  });
  const std::string& tag = log_.tag();
  std::string name = "palvexd-w" + tag.substr(2, tag.size() - 3);
  pthread_setname_np(thread_.native_handle(), name.substr(0, 15).c_str());
  return true;
}

void ServiceWorker::RequestStop() {
  stop_requested_.store(true);
  wakeup_.Notify();
}

void ServiceWorker::Join() {
  if (thread_.joinable())
    thread_.join();
}

void ServiceWorker::OnWakeup() {
  if (stop_requested_.load() && !draining_)
    Drain();
}

void ServiceWorker::OnAccept(std::unique_ptr<tovali::TcpStream> stream) {
  // The peer's address came with the accept.
  const std::string ip = stream->RemoteIp();
  const uint16_t port = stream->RemotePort();
  Reject refused;
  if (!state_.connections.TryAcquire()) {
    refused = Reject::kConnections;
    // What waits in the queue would only be refused too: leave it there for a while.
    PauseAccepting("every connection slot taken");
  } else {
    SourceLimiter::Verdict verdict = state_.limiter.Admit(ip, tovali::MonotonicMs());
    if (verdict == SourceLimiter::kAdmitted) {
      if (paused_since_ms_ >= 0) {
        HLOG_WARN(log_, "accept resumed after %lld ms",
                  static_cast<long long>(tovali::MonotonicMs() - paused_since_ms_));
        paused_since_ms_ = -1;
      }
      stream->write_through = true;
      sessions_
          .Add(std::make_unique<ClientSession>(*this, state_.config, loop_.base(),
                                               std::move(stream)))
          ->Start();
      return;
    }
    state_.connections.Release();
    refused =
        verdict == SourceLimiter::kTooManyOpen ? Reject::kSourceConnections : Reject::kSourceRate;
  }
  const bool ipv4 = stream->ipv4;
  stream.reset();  // closes at once, without a reply
  Refuse(refused, ip, ipv4, port);
}

void ServiceWorker::PauseAccepting(const char* why) {
  for (auto& listener : listeners_)
    listener->Pause(tovali::TcpListener::kAcceptPauseMs);
  if (paused_since_ms_ >= 0)
    return;
  paused_since_ms_ = tovali::MonotonicMs();
  state_.metrics.CountAcceptPause(false);
  HLOG_WARN(log_, "accept paused: %s (%u connections open)", why, state_.connections.used());
}

void ServiceWorker::Refuse(Reject reason, const std::string& ip, bool ipv4, uint16_t port) {
  state_.metrics.CountReject(reason);
  HLOG_INFO(log_, "refuse %s: %s", palvex::FormatAddress(ip, !ipv4, port).c_str(),
            RejectName(reason));
}

void ServiceWorker::ReleaseConnection(const std::string& source_ip) {
  state_.connections.Release();
  state_.limiter.Release(source_ip, tovali::MonotonicMs());
}

void ServiceWorker::SessionDone(ClientSession* session) {
  sessions_.Release(session);
}

std::string ServiceWorker::DialbackSource(const std::string& local, bool ipv4) const {
  const ServerConfig& config = state_.config;
  const std::string& configured = ipv4 ? config.dialback_from_v4 : config.dialback_from_v6;
  return configured.empty() ? local : configured;
}

void ServiceWorker::StartDialback(DetectRecord record, const std::string& target_ip,
                                  uint16_t target_port, bool ipv4) {
  std::string from = DialbackSource(record.local, ipv4);
  dialbacks_
      .Add(std::make_unique<Dialback>(*this, state_.config, loop_.base(), std::move(record),
                                      target_ip, target_port, ipv4, std::move(from)))
      ->Start(state_.config.dialback_delay_ms);
}

bool ServiceWorker::StartGrading(ClientSession* session, Grading grading,
                                 const std::string& target_ip, uint16_t target_port, bool ipv4,
                                 Reject* reason) {
  const ServerConfig& config = state_.config;
  int taken = 0;
  for (bool started : grading.started) {
    if (!started)
      continue;
    if (!state_.dialbacks.TryAcquire()) {
      while (taken-- > 0)
        state_.dialbacks.Release();
      *reason = Reject::kDialbacks;
      return false;
    }
    ++taken;
  }
  const std::string nonce = grading.record.grade.nonce;
  const bool from_other_address = grading.started[kFromOtherAddress];
  const std::string source = DialbackSource(grading.record.local, ipv4);
  if (!state_.gradings.Open(std::move(grading))) {
    while (taken-- > 0)
      state_.dialbacks.Release();
    *reason = Reject::kMalformed;  // a nonce in use (or a book full of them)
    return false;
  }
  graders_[nonce] = session;
  if (from_other_address) {
    const std::string& other = ipv4 ? config.other_v4 : config.other_v6;
    dialbacks_
        .Add(std::make_unique<Dialback>(*this, config, loop_.base(), DetectRecord(), target_ip,
                                        target_port, ipv4, other,
                                        GradingDial{nonce, kFromOtherAddress}))
        ->Start(config.dialback_delay_ms);
  }
  dialbacks_
      .Add(std::make_unique<Dialback>(*this, config, loop_.base(), DetectRecord(), target_ip,
                                      target_port, ipv4, source,
                                      GradingDial{nonce, kFromOtherPort}))
      ->Start(config.dialback_delay_ms);
  return true;
}

bool ServiceWorker::AddMapping(const std::string& nonce, MappingSlot slot,
                               const std::string& mapped, const std::string& device_local) {
  std::vector<Grading> done;
  bool held = state_.gradings.AddMapping(nonce, slot, mapped, device_local, &done);
  WriteGradings(&done);
  return held;
}

void ServiceWorker::GradingDialbackDone(const std::string& nonce, GradingTest test,
                                        DialbackOutcome outcome) {
  state_.metrics.CountGradingDialback(test, outcome);
  std::vector<Grading> done;
  state_.gradings.SetDialback(nonce, test, outcome, &done);
  WriteGradings(&done);
  if (outcome == DialbackOutcome::kOk)
    return;
  auto it = graders_.find(nonce);
  if (it != graders_.end())
    it->second->ReportFailure(test, outcome);
}

void ServiceWorker::WriteGradings(std::vector<Grading>* done) {
  for (const Grading& grading : *done) {
    state_.metrics.CountGrade(grading.record);
    WriteRecord(grading.record);
  }
}

void ServiceWorker::DialbackDone(Dialback* dialback) {
  if (!dialbacks_.Release(dialback))
    return;
  if (draining_)
    ExitWhenDrained();
}
void ServiceWorker::WriteRecord(const DetectRecord& record) {
  // Lines finished in one loop pass go out together, in one write.
  if (pending_records_.empty())
    deferred_.RunSoon([this] { FlushRecords(); });
  pending_records_ += BuildRecordLine(record);
  pending_records_ += '\n';
  if (pending_records_.size() >= kRecordBatchBytes)
    FlushRecords();
}

void ServiceWorker::FlushRecords() {
  if (pending_records_.empty())
    return;
  state_.records.Write(pending_records_);
  pending_records_.clear();
}

void ServiceWorker::Drain() {
  draining_ = true;
  listeners_.clear();
  sessions_.ReleaseAll([](ClientSession& session) { session.Shutdown(); });
  if (!dialbacks_.empty()) {
    HLOG_INFO(log_, "draining %zu dial-backs", dialbacks_.size());
    drain_timer_.Start(state_.config.dialback_linger_ms);
  }
  ExitWhenDrained();
}

void ServiceWorker::ExitWhenDrained() {
  if (!dialbacks_.empty())
    return;
  drain_timer_.Stop();
  loop_.Exit(0);
}

void ServiceWorker::OnDrainDeadline() {
  HLOG_WARN(log_, "drain time over: %zu dial-backs cut short", dialbacks_.size());
  dialbacks_.ReleaseAll([](Dialback& dialback) { dialback.Abort(); });
  loop_.Exit(0);
}

}  // namespace palvexd
