// Load generator for palvexd (a benchmark tool, not a test): plays devices on loopback, each
// doing what palvex does in its default mode. A device listens on a fresh port of one of the
// source addresses, connects to the service from that same port, sends a detect request, reads
// the reply and waits for the dial-back frame on its listening port. The time from the start of
// the connect to the last byte of the dial-back frame is the detection's latency.
//
//   palvexd_load [--server IP:PORT] [--sources A.B.C.D-N] [--threads T] [--duration S]
//                [--warmup S] [--locate] (--concurrency N | --rate R) [--idle N]
//
// --concurrency N keeps N detections in flight (closed loop: the most the service gives);
// --rate R starts R detections a second whatever the service does (open loop, for latency).
// --locate asks for the reply only: a detection ends with the reply, without a dial-back.
// --idle N instead opens N connections that send nothing and holds them for the duration.
// Results go to standard output as "key=value" lines. Devices close with a reset, so that no
// side keeps TIME_WAIT entries; a device's listening port then serves its next detection at once.
#include <event2/event.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tovali/Network/event_loop.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_listener.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"

namespace {

using tovali::TcpListener;
using tovali::TcpStream;

struct Options {
  std::string server_ip = "127.0.0.1";
  uint16_t server_port = 60002;
  std::vector<std::string> sources{"127.0.0.2"};
  unsigned threads = 1;
  double duration_s = 10;
  double warmup_s = 1;
  unsigned concurrency = 0;
  double rate = 0;
  unsigned idle = 0;
  bool locate = false;
  unsigned timeout_ms = 5000;
};

enum Failure { kListen, kConnect, kRequest, kTimeout, kFailures };
const char* const kFailureNames[kFailures] = {"listen", "connect", "request", "timeout"};

class Generator;

// One detection, from listening to the dial-back frame.
class Device {
 public:
  Device(Generator& gen, const std::string& source, uint64_t id);
  void Start();

 private:
  void OnDialbackFd(int fd);
  void Finish(bool ok, Failure failure);

  Generator& gen_;
  std::string source_;
  uint64_t id_;
  int64_t start_us_ = 0;
  std::unique_ptr<TcpListener> listener_;
  std::unique_ptr<TcpStream> request_;
  std::unique_ptr<TcpStream> dialback_;
  size_t dialback_bytes_ = 0;
  size_t dialback_need_ = 6;
  tovali::Timer timer_;
  bool done_ = false;
};

// One loop thread's share of the load.
class Generator {
 public:
  Generator(const Options& options, unsigned index) : options_(options), index_(index) {
    loop_.Create(0);
    deferred_.Init(loop_.base());
    tick_.Init(loop_.base(), [this] { OnTick(); });
  }

  void Run() {
    start_us_ = tovali::MonotonicUs();
    measure_from_us_ = start_us_ + static_cast<int64_t>(options_.warmup_s * 1e6);
    end_us_ = measure_from_us_ + static_cast<int64_t>(options_.duration_s * 1e6);
    if (options_.idle > 0) {
      OpenIdle();
    } else if (options_.concurrency > 0) {
      unsigned share = options_.concurrency / options_.threads +
                       (index_ < options_.concurrency % options_.threads ? 1 : 0);
      for (unsigned i = 0; i < share; ++i)
        StartDevice();
    }
    tick_.Start(1, 1);
    loop_.Run(0);
  }

  event_base* base() { return loop_.base(); }
  const Options& options() const { return options_; }

  // A listening socket on `source` and a port of its own: one kept from an earlier detection
  // (its connections were reset, so its port is free at once), or a new one. Null on failure.
  std::unique_ptr<TcpListener> TakeListener(const std::string& source) {
    std::vector<std::unique_ptr<TcpListener>>& pool = listeners_[source];
    if (!pool.empty()) {
      std::unique_ptr<TcpListener> listener = std::move(pool.back());
      pool.pop_back();
      return listener;
    }
    auto listener = std::make_unique<TcpListener>(loop_.base(), true, "", true, "");
    listener->reuse_addr = true;
    listener->reuse_port = true;
    listener->backlog = 4;
    if (listener->Start(0, source) != TcpListener::Ok)
      return nullptr;
    return listener;
  }
  void GiveListener(const std::string& source, std::unique_ptr<TcpListener> listener) {
    listener->on_fd = [](int fd) {
      tovali::SetLingerReset(fd);
      close(fd);
    };
    listeners_[source].push_back(std::move(listener));
  }

  void OnDone(Device* device, bool ok, Failure failure, int64_t started_us) {
    const int64_t now = tovali::MonotonicUs();
    if (started_us >= measure_from_us_ && now <= end_us_) {
      if (ok)
        latencies_us_.push_back(static_cast<uint32_t>(now - started_us));
      else
        ++failures_[failure];
    }
    auto it = devices_.find(device);
    if (it != devices_.end()) {
      deferred_.DeleteSoon(std::move(it->second));
      devices_.erase(it);
    }
    if (options_.concurrency > 0 && now < end_us_)
      StartDevice();
  }

  std::vector<uint32_t> latencies_us_;
  uint64_t failures_[kFailures] = {};
  uint64_t idle_open_ = 0;

 private:
  void StartDevice() {
    const std::string& source =
        options_.sources[(next_id_ * options_.threads + index_) % options_.sources.size()];
    auto device = std::make_unique<Device>(*this, source, next_id_++);
    Device* raw = device.get();
    devices_.emplace(raw, std::move(device));
    raw->Start();
  }

  void OnTick() {
    const int64_t now = tovali::MonotonicUs();
    if (now >= end_us_) {
      // Let the detections in flight end (or time out) before reporting.
      if (devices_.empty() || now >= end_us_ + options_.timeout_ms * 1000) {
        tick_.Stop();
        idle_.clear();
        devices_.clear();
        listeners_.clear();
        loop_.Exit(0);
      }
      return;
    }
    if (options_.rate > 0) {
      double per_thread = options_.rate / options_.threads;
      double due = (now - start_us_) / 1e6 * per_thread;
      while (started_ < due && devices_.size() < 60000) {
        ++started_;
        StartDevice();
      }
    }
  }

  void OpenIdle() {
    unsigned share =
        options_.idle / options_.threads + (index_ < options_.idle % options_.threads ? 1 : 0);
    for (unsigned i = 0; i < share; ++i) {
      auto stream = std::make_unique<TcpStream>(loop_.base(), true);
      stream->bind_ip = options_.sources[(i * options_.threads + index_) % options_.sources.size()];
      stream->reset_on_close = true;
      stream->SetReadSize(64);
      stream->on_open = [this] { ++idle_open_; };
      stream->on_data = [](const char*, size_t) { return 0; };
      if (stream->Connect(options_.server_ip, options_.server_port) == TcpStream::Ok)
        idle_.push_back(std::move(stream));
    }
  }

  const Options& options_;
  unsigned index_;
  tovali::EventLoop loop_;
  tovali::DeferredQueue deferred_;
  tovali::Timer tick_;
  std::unordered_map<Device*, std::unique_ptr<Device>> devices_;
  std::vector<std::unique_ptr<TcpStream>> idle_;
  std::unordered_map<std::string, std::vector<std::unique_ptr<TcpListener>>> listeners_;
  uint64_t next_id_ = 0;
  double started_ = 0;
  int64_t start_us_ = 0;
  int64_t measure_from_us_ = 0;
  int64_t end_us_ = 0;
};

Device::Device(Generator& gen, const std::string& source, uint64_t id)
    : gen_(gen), source_(source), id_(id) {
  timer_.Init(gen_.base(), [this] { Finish(false, kTimeout); });
}

void Device::Start() {
  start_us_ = tovali::MonotonicUs();
  timer_.Start(gen_.options().timeout_ms);
  listener_ = gen_.TakeListener(source_);
  if (!listener_) {
    Finish(false, kListen);
    return;
  }
  listener_->on_fd = [this](int fd) { OnDialbackFd(fd); };
  request_ = std::make_unique<TcpStream>(gen_.base(), true);
  request_->reuse_addr = true;
  request_->reuse_port = true;
  request_->reset_on_close = true;
  request_->write_through = true;
  request_->bind_ip = source_;
  request_->local_port = listener_->port;
  request_->SetReadSize(256);
  request_->on_open = [this] {
    if (request_->Send(palvex::BuildDetectRequest("bench-" + std::to_string(id_),
                                                  gen_.options().locate)) != TcpStream::Ok)
      Finish(false, kRequest);
  };
  request_->on_data = [this](const char*, size_t) {
    if (!gen_.options().locate)
      return 0;  // the reply; a full detection ends with the dial-back
    Finish(true, kFailures);
    return -1;
  };
  request_->on_error = [this](int code) {
    Finish(false, code == TcpStream::ConnectFailed ? kConnect : kRequest);
  };
  if (request_->Connect(gen_.options().server_ip, gen_.options().server_port) != TcpStream::Ok)
    Finish(false, kConnect);
}

void Device::OnDialbackFd(int fd) {
  if (done_ || dialback_) {
    tovali::SetLingerReset(fd);
    close(fd);
    return;
  }
  dialback_ = std::make_unique<TcpStream>(gen_.base(), true);
  dialback_->reset_on_close = true;
  dialback_->SetReadSize(256);
  dialback_->on_data = [this](const char* data, size_t len) {
    // The length field (header bytes 2 to 5) decides the frame size; it may come in pieces.
    for (size_t i = 0; i < len && dialback_bytes_ + i < 6; ++i) {
      size_t pos = dialback_bytes_ + i;
      if (pos >= 2)
        dialback_need_ += size_t{static_cast<unsigned char>(data[i])} << (8 * (5 - pos));
    }
    dialback_bytes_ += len;
    if (dialback_bytes_ < dialback_need_)
      return 0;
    Finish(true, kFailures);
    return -1;
  };
  dialback_->on_error = [this](int) { Finish(false, kRequest); };
  if (dialback_->Accept(fd, "", 0) != TcpStream::Ok)
    Finish(false, kRequest);
}

void Device::Finish(bool ok, Failure failure) {
  if (done_)
    return;
  done_ = true;
  timer_.Stop();
  if (dialback_)
    dialback_->Close(0);
  if (request_)
    request_->Close(0);
  // A listener whose detection failed might still see that detection's dial-back: not reused.
  if (ok)
    gen_.GiveListener(source_, std::move(listener_));
  listener_.reset();
  gen_.OnDone(this, ok, failure, start_us_);
}

bool ParseSources(const char* text, std::vector<std::string>* out) {
  // "127.0.0.2-41": the last octet runs from 2 to 41.
  std::string s(text);
  size_t dash = s.find('-');
  if (dash == std::string::npos) {
    out->assign(1, s);
    return tovali::IsIPv4(s);
  }
  std::string first = s.substr(0, dash);
  size_t dot = first.rfind('.');
  if (dot == std::string::npos || !tovali::IsIPv4(first))
    return false;
  int from = std::atoi(first.c_str() + dot + 1);
  int to = std::atoi(s.c_str() + dash + 1);
  if (to < from || to > 254)
    return false;
  out->clear();
  for (int i = from; i <= to; ++i)
    out->push_back(first.substr(0, dot + 1) + std::to_string(i));
  return true;
}

int Usage() {
  std::fputs(
      "usage: palvexd_load [--server IP:PORT] [--sources A.B.C.D-N] [--threads T]\n"
      "                    [--duration S] [--warmup S] [--locate]\n"
      "                    (--concurrency N | --rate R | --idle N)\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--locate") {
      options.locate = true;
      continue;
    }
    if (i + 1 >= argc)
      return Usage();
    const char* value = argv[++i];
    if (arg == "--server") {
      std::string v(value);
      size_t colon = v.rfind(':');
      if (colon == std::string::npos)
        return Usage();
      options.server_ip = v.substr(0, colon);
      options.server_port = static_cast<uint16_t>(std::atoi(v.c_str() + colon + 1));
    } else if (arg == "--sources") {
      if (!ParseSources(value, &options.sources))
        return Usage();
    } else if (arg == "--threads") {
      options.threads = static_cast<unsigned>(std::max(1, std::atoi(value)));
    } else if (arg == "--duration") {
      options.duration_s = std::atof(value);
    } else if (arg == "--warmup") {
      options.warmup_s = std::atof(value);
    } else if (arg == "--concurrency") {
      options.concurrency = static_cast<unsigned>(std::atoi(value));
    } else if (arg == "--rate") {
      options.rate = std::atof(value);
    } else if (arg == "--idle") {
      options.idle = static_cast<unsigned>(std::atoi(value));
    } else {
      return Usage();
    }
  }
  if (options.concurrency == 0 && options.rate <= 0 && options.idle == 0)
    return Usage();

  std::vector<std::unique_ptr<Generator>> generators;
  for (unsigned i = 0; i < options.threads; ++i)
    generators.push_back(std::make_unique<Generator>(options, i));
  std::vector<std::thread> threads;
  for (auto& g : generators)
    threads.emplace_back([&g] { g->Run(); });
  for (std::thread& t : threads)
    t.join();

  if (options.idle > 0) {
    uint64_t open = 0;
    for (auto& g : generators)
      open += g->idle_open_;
    std::printf("idle_open=%" PRIu64 "\n", open);
    return 0;
  }
  std::vector<uint32_t> all;
  uint64_t failures[kFailures] = {};
  for (auto& g : generators) {
    all.insert(all.end(), g->latencies_us_.begin(), g->latencies_us_.end());
    for (int f = 0; f < kFailures; ++f)
      failures[f] += g->failures_[f];
  }
  std::sort(all.begin(), all.end());
  auto pct = [&all](double p) {
    if (all.empty())
      return 0.0;
    size_t i = std::min(all.size() - 1, static_cast<size_t>(p * static_cast<double>(all.size())));
    return all[i] / 1000.0;
  };
  std::printf("detections=%zu\n", all.size());
  std::printf("detections_per_s=%.0f\n", static_cast<double>(all.size()) / options.duration_s);
  std::printf("p50_ms=%.2f\np99_ms=%.2f\nmax_ms=%.2f\n", pct(0.50), pct(0.99),
              all.empty() ? 0.0 : all.back() / 1000.0);
  for (int f = 0; f < kFailures; ++f)
    std::printf("failed_%s=%" PRIu64 "\n", kFailureNames[f], failures[f]);
  return 0;
}
