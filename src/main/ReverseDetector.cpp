#include "main/ReverseDetector.h"

#include <utility>

#include "main/DetectMessage.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"

namespace palvex {

ReverseDetector::ReverseDetector(ReverseConfig config) : ServerProbe(std::move(config), "[DTR]") {
  inbound_ = std::make_unique<InboundStreams>(loop_.base(), log_.tag());
  inbound_->on_frame = [this](const std::string& detect_addr) { OnFrame(detect_addr); };
}

ReverseDetector::~ReverseDetector() {
  deferred_.Clear();
  sender_.reset();
  StopProbe();
  inbound_.reset();
  Report();
}

void ReverseDetector::OnServerChosen() {
  sender_ = NewSender();
  sender_->on_open = [this] { OnSenderOpen(); };
  sender_->on_data = [this](const char* data, size_t len) { return OnSenderData(data, len); };
  sender_->on_error = [this](int code) { OnSenderError(code); };
  HLOG_INFO(log_, "sender connect '%s:%u'", server_ip_.c_str(), config_.port);
  int code = sender_->Connect(server_ip_, config_.port);
  if (code != 0)
    OnSenderError(code);
}

void ReverseDetector::OnSenderOpen() {
  std::string request = BuildDetectRequest(hostname_, config_.locate);
  HLOG_INFO(log_, "on sender open, send detect message: %s", hostname_.c_str());
  int code = sender_->Send(std::move(request));
  if (code != 0)
    OnSenderError(code);
}

int ReverseDetector::OnSenderData(const char* data, size_t len) {
  // Each delivery stands alone: a reply split over several is never assembled.
  std::string text(data, len);
  HLOG_INFO(log_, "on sender data: %s", text.c_str());
  if (ReadDetectReply(text, &reply_) == kReplyBadCode)
    HLOG_ERROR(log_, "parse locate info failed");
  if (config_.locate) {
    ExitLoop();
    return -1;
  }
  return 0;
}

void ReverseDetector::OnSenderError(int code) {
  HLOG_ERROR(log_, "on sender error: %d", code);
  sender_.reset();  // the stream allows it inside its own callbacks
}

void ReverseDetector::OnAccept(tovali::TcpStream* stream) {
  inbound_->Add(stream);
}

void ReverseDetector::OnFrame(const std::string& detect_addr) {
  detect_addr_ = detect_addr;
  p2p_status_ = 1;
  ExitLoop();
}

void ReverseDetector::Report() {
  DetectReport report;
  report.nic = config_.nic;
  report.ipv6 = config_.ipv6;
  report.locate = config_.locate;
  report.ip = config_.ip;
  report.listen_port = listen_port_;
  report.mapped_addr = reply_.mapped_addr;
  report.country = reply_.country;
  report.province = reply_.province;
  report.city = reply_.city;
  report.isp = reply_.isp;
  report.server_ip = server_ip_;
  report.port = config_.port;
  report.detect_addr = detect_addr_;
  report.p2p_status = p2p_status_;
  report.timestamp = tovali::RealTimeSeconds();
  std::string json = BuildDetectRecord(report);
  Publish(json, reply_.isp, "detect");
}

}  // namespace palvex
