#include "server/Dialback.h"

#include <cerrno>
#include <utility>

#include "tovali/Network/tcp_stream.h"
#include "tovali/util/clock.h"
#include "wire/DetectProtocol.h"
#include "wire/GradeProtocol.h"

namespace palvexd {
namespace {

// Nothing the device sends on a dial-back is read beyond the first bytes.
constexpr size_t kDialbackReadSize = 256;

}  // namespace

DialbackOutcome ClassifyConnectFailure(int code, int err) {
  if (code != tovali::TcpStream::ConnectFailed)
    return DialbackOutcome::kError;
  switch (err) {
    case ECONNREFUSED:
      return DialbackOutcome::kRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
      return DialbackOutcome::kUnreachable;
    case ETIMEDOUT:
      return DialbackOutcome::kTimeout;
    default:
      return DialbackOutcome::kError;
  }
}

Dialback::Dialback(DialbackHost& host, const ServerConfig& config, event_base* loop,
                   DetectRecord record, std::string target_ip, uint16_t target_port, bool ipv4,
                   std::string source_ip, GradingDial grading)
    : host_(host),
      config_(config),
      loop_(loop),
      record_(std::move(record)),
      target_ip_(std::move(target_ip)),
      target_port_(target_port),
      ipv4_(ipv4),
      source_ip_(std::move(source_ip)),
      grading_(std::move(grading)) {
  timer_.Init(loop_, [this] { OnTimer(); });
}

Dialback::~Dialback() {
  stream_.reset();
  if (stage_ != kEnded)
    host_.ReleaseDialbackSlot();
}

void Dialback::Start(uint32_t delay_ms) {
  stage_ = kDelayed;
  timer_.Start(delay_ms);
}

void Dialback::Abort() {
  if (stage_ == kEnded)
    return;
  Report(DialbackOutcome::kTimeout, 0);
  Close();
}

void Dialback::Connect() {
  stage_ = kConnecting;
  stream_ = std::make_unique<tovali::TcpStream>(loop_, ipv4_);
  stream_->bind_ip = source_ip_;
  stream_->SetReadSize(kDialbackReadSize);
  stream_->write_through = true;
  stream_->on_open = [this] { OnOpen(); };
  // A dial-back needs nothing from the device: bytes from it end the connection at once rather
  // than being read, however fast it sends, until the linger time passes.
  stream_->on_data = [this](const char*, size_t) {
    End();
    return -1;
  };
  stream_->on_error = [this](int code) { OnError(code); };
  connect_start_us_ = tovali::MonotonicUs();
  int rc = stream_->Connect(target_ip_, target_port_);
  if (rc != tovali::TcpStream::Ok) {
    OnError(rc);  // failed at once: the same as failing later
    return;
  }
  timer_.Start(grading_.nonce.empty() ? config_.connect_timeout_ms : config_.grading_timeout_ms);
}

void Dialback::OnOpen() {
  const uint64_t connect_us = static_cast<uint64_t>(tovali::MonotonicUs() - connect_start_us_);
  if (stream_->LocalPort() == stream_->RemotePort() && stream_->LocalIp() == stream_->RemoteIp()) {
    // Nothing listened on a port of our own address, and the ephemeral source port happened to
    // be that port: TCP joined the socket to itself. No device answered.
    Report(DialbackOutcome::kRefused, 0);
    End();
    return;
  }
  stage_ = kLingering;
  timer_.Start(config_.dialback_linger_ms);
  Report(DialbackOutcome::kOk, connect_us);
  std::string frame;
  if (grading_.nonce.empty()) {
    frame = palvex::BuildDialbackFrame(config_.server_id);
  } else {
    palvex::GradeMessage message;
    message.kind = palvex::GradeMessage::kDialback;
    message.nonce = grading_.nonce;
    message.test =
        grading_.test == kFromOtherAddress ? palvex::kTestOtherAddress : palvex::kTestOtherPort;
    message.server = config_.server_id;
    frame = palvex::BuildGradeMessage(message);
  }
  if (stream_->Send(std::move(frame)) != tovali::TcpStream::Ok)
    End();
}

void Dialback::OnError(int code) {
  if (stage_ == kConnecting)
    Report(ClassifyConnectFailure(code, stream_->connect_errno), 0);
  // Lingering: the device closed (or reset) after the frame; either way this is the end.
  End();
}

void Dialback::OnTimer() {
  switch (stage_) {
    case kDelayed:
      Connect();
      return;
    case kConnecting:
      Report(DialbackOutcome::kTimeout, 0);
      End();
      return;
    case kLingering:
      End();
      return;
    case kEnded:
      return;
  }
}

void Dialback::Report(DialbackOutcome outcome, uint64_t connect_us) {
  if (reported_)
    return;
  reported_ = true;
  if (!grading_.nonce.empty()) {
    host_.GradingDialbackDone(grading_.nonce, grading_.test, outcome);
    return;
  }
  record_.time = tovali::RealTimeSeconds();
  record_.dialback = outcome;
  record_.dialback_ms = static_cast<uint32_t>((connect_us + 500) / 1000);
  host_.CountDialback(outcome, connect_us, record_.location.isp);
  host_.WriteRecord(record_);
}

void Dialback::End() {
  if (stage_ == kEnded)
    return;
  Close();
  host_.DialbackDone(this);
}

void Dialback::Close() {
  stage_ = kEnded;
  timer_.Stop();
  if (stream_)
    stream_->Close(0);
  host_.ReleaseDialbackSlot();
}

}  // namespace palvexd
