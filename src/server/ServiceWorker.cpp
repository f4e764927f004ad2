#include "server/ServiceWorker.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Frame.h"
#include "server/ClientSession.h"
#include "server/Dialback.h"
#include "tovali/Network/dns_manager.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/logger.h"

namespace palvexd {
namespace {

// Bursts of thousands of devices arrive at once; the kernel caps this at somaxconn.
constexpr int kBacklog = 4096;
// A request is a few dozen bytes; a small buffer keeps ten thousand idle connections cheap.
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
    : state_(state), tag_("[W" + std::to_string(index) + "]") {
  loop_.Create(0);
  deferred_.Init(loop_.base());
  wakeup_.Init(loop_.base(), [this] { OnWakeup(); });
  wakeup_.Start();
  drain_timer_.Init(loop_.base(), [this] { OnDrainDeadline(); });
}

ServiceWorker::~ServiceWorker() {
  Join();
  // Only when the loop never ran its drain: nothing is left otherwise.
  for (auto& entry : dialbacks_)
    entry.second->Abort();
  for (auto& entry : sessions_)
    entry.second->Shutdown();
  FlushRecords();
}

bool ServiceWorker::Listen(const std::vector<Endpoint>& endpoints, bool reuse_port,
                           bool skip_unsupported, std::string* error) {
  if (loop_.base() == nullptr) {
    *error = "cannot create an event loop";
    return false;
  }
  for (const Endpoint& endpoint : endpoints) {
    auto listener = std::make_unique<tovali::TcpListener>(loop_.base(), endpoint.ipv4, tag_,
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
      LOG_ERROR("", "%s listener %s failed: %d", tag_.c_str(), where.c_str(), code);
    };
    errno = 0;
    tovali::TcpListener::Code rc = listener->Start(endpoint.port, endpoint.ip);
    if (rc != tovali::TcpListener::Ok) {
      int err = errno;
      if (skip_unsupported && rc == tovali::TcpListener::SocketFailed && err == EAFNOSUPPORT) {
        LOG_WARN("", "%s %s skipped: address family not supported", tag_.c_str(), where.c_str());
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
  std::string name = "palvexd-w" + tag_.substr(2, tag_.size() - 3);
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
  } else {
    SourceLimiter::Verdict verdict = state_.limiter.Admit(ip, tovali::MonotonicMs());
    if (verdict == SourceLimiter::kAdmitted) {
      stream->write_through = true;
      auto session = std::make_unique<ClientSession>(*this, std::move(stream), ip, port);
      ClientSession* raw = session.get();
      sessions_.emplace(raw, std::move(session));
      raw->Start();
      return;
    }
    state_.connections.Release();
    refused =
        verdict == SourceLimiter::kTooManyOpen ? Reject::kSourceConnections : Reject::kSourceRate;
  }
  const bool ipv4 = stream->ipv4;
  stream.reset();  // closes at once, without a reply
  CountRefusal(refused, ip, ipv4, port);
}

void ServiceWorker::CountRefusal(Reject reason, const std::string& ip, bool ipv4, uint16_t port) {
  state_.metrics.CountReject(reason);
  LOG_INFO("", "%s refuse %s: %s", tag_.c_str(), palvex::FormatAddress(ip, !ipv4, port).c_str(),
           RejectName(reason));
}

void ServiceWorker::OnSessionDone(ClientSession* session) {
  auto it = sessions_.find(session);
  if (it == sessions_.end())
    return;
  deferred_.DeleteSoon(std::move(it->second));
  sessions_.erase(it);
}

void ServiceWorker::StartDialback(DetectRecord record, const std::string& target_ip,
                                  uint16_t target_port, bool ipv4) {
  const ServerConfig& config = state_.config;
  const std::string& configured = ipv4 ? config.dialback_from_v4 : config.dialback_from_v6;
  std::string from = configured.empty() ? record.local : configured;
  auto dialback = std::make_unique<Dialback>(*this, std::move(record), target_ip, target_port, ipv4,
                                             std::move(from));
  Dialback* raw = dialback.get();
  dialbacks_.emplace(raw, std::move(dialback));
  raw->Start(config.dialback_delay_ms);
}

void ServiceWorker::OnDialbackDone(Dialback* dialback) {
  auto it = dialbacks_.find(dialback);
  if (it == dialbacks_.end())
    return;
  deferred_.DeleteSoon(std::move(it->second));
  dialbacks_.erase(it);
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
  for (auto& entry : sessions_) {
    entry.second->Shutdown();
    deferred_.DeleteSoon(std::move(entry.second));
  }
  sessions_.clear();
  if (!dialbacks_.empty()) {
    LOG_INFO("", "%s draining %zu dial-backs", tag_.c_str(), dialbacks_.size());
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
  LOG_WARN("", "%s drain time over: %zu dial-backs cut short", tag_.c_str(), dialbacks_.size());
  for (auto& entry : dialbacks_) {
    entry.second->Abort();
    deferred_.DeleteSoon(std::move(entry.second));
  }
  dialbacks_.clear();
  loop_.Exit(0);
}

}  // namespace palvexd
