#include "main/ReverseDetector.h"

#include <cstdio>
#include <utility>

#include "base/Paths.h"
#include "base/Utils.h"
#include "main/BackupServers.h"
#include "main/DetectMessage.h"
#include "tovali/Network/dns_manager.h"
#include "tovali/Network/dns_resolver.h"
#include "tovali/Network/random.h"
#include "tovali/Network/socket_util.h"
#include "tovali/Network/tcp_stream.h"
#include "tovali/log/log_handle.h"
#include "tovali/log/logger.h"
#include "tovali/util/clock.h"

namespace palvex {

uint16_t RandomPort(uint16_t min, uint16_t max) {
  // A reversed range would make the draw undefined.
  if (min > max)
    std::swap(min, max);
  std::uniform_int_distribution<unsigned int> dist(min, max);
  return static_cast<uint16_t>(dist(tovali::RandomEngine()));
}

ReverseDetector::ReverseDetector(ReverseConfig config) : config_(std::move(config)) {
  for (size_t i = 0; i < kBackupServerCount; ++i) {
    const BackupServer& server = kBackupServers[i];
    auto& table = tovali::IsIPv4(server.address) ? backup_ipv4_ : backup_ipv6_;
    table[server.isp].push_back(server.address);
  }
  HLOG_INFO(log_, "CREATE");
  start_timer_.Init(loop_.base(), [this] { Start(); });
  start_timer_.Start(0, 0);
  timeout_timer_.Init(loop_.base(), [this] { OnTimeout(); });
  timeout_timer_.Start(config_.timeout, 0);
  detect_timer_.Init(loop_.base(), [this] { Detect(); });
  inbound_ = std::make_unique<InboundStreams>(loop_.base(), log_.tag());
  inbound_->on_frame = [this](const std::string& detect_addr) { OnFrame(detect_addr); };
}

ReverseDetector::~ReverseDetector() {
  deferred_.Clear();
  resolver_.reset();
  sender_.reset();
  listener_.reset();
  inbound_.reset();
  Report();
  HLOG_INFO(log_, "DELETE");
}

void ReverseDetector::Start() {
  listener_ = std::make_unique<tovali::TcpListener>(loop_.base(), !config_.ipv6, "", true, "");
  listener_->reuse_port = true;
  listener_->reuse_addr = true;
  // Room in the kernel's queue for a flood of peers, so that the server's dial-back is queued
  // behind them rather than dropped and retried seconds later.
  listener_->backlog = kAcceptBacklog;
  if (!config_.nic.empty()) {
    HLOG_INFO(log_, "listner bind to nic: %s", config_.nic.c_str());
    listener_->bind_nic = config_.nic;
  }
  listener_->on_stream = [this](tovali::TcpStream* stream) { OnAccept(stream); };
  listener_->on_error = [this](tovali::TcpListener::Code code) { OnListenerError(code); };

  int result = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    listen_port_ = RandomPort(config_.bind_min_port, config_.bind_max_port);
    result = listener_->Start(listen_port_, config_.ip);
    if (result == 0) {
      // Port 0 lets the kernel choose: the port actually bound is the one to send from and report.
      listen_port_ = listener_->port;
      HLOG_INFO(log_, "listen '%s:%u' success.", config_.ip.c_str(), listen_port_);
      if (!config_.host.empty()) {
        Resolve();
      } else {
        server_ip_ = BackupIp();
        HLOG_INFO(log_, "skip resolve, use ip: %s", server_ip_.c_str());
        detect_timer_.Start(0, 0);
      }
      return;
    }
  }
  HLOG_ERROR(log_, "listen '%s:%u' failed: %d", config_.ip.c_str(), listen_port_, result);
  ExitLoop();
}

void ReverseDetector::Resolve() {
  HLOG_INFO(log_, "begin to resolve '%s'", config_.host.c_str());
  resolver_ = std::make_unique<tovali::DnsResolver>(dns_manager_.get(), log_.tag(), true);
  resolver_->Resolve(
      config_.host,
      [this](int code, const std::vector<tovali::DnsIPAddr>& ips) { OnResolved(code, ips); },
      config_.ipv6 ? tovali::kDnsIPv6 : tovali::kDnsIPv4);
}

void ReverseDetector::OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips) {
  if (code != 0) {
    server_ip_ = BackupIp();
    HLOG_ERROR(log_, "resolve failed: %d, use backup ip: %s", code, server_ip_.c_str());
  } else if (ips.empty()) {
    server_ip_ = BackupIp();
    HLOG_ERROR(log_, "no ip resolved, use backup ip: %s", server_ip_.c_str());
  } else {
    server_ip_ = ips.front().ip;
    bool not_public =
        config_.ipv6 ? (tovali::IsPrivateIPv6(server_ip_) || tovali::IsReservedIPv6(server_ip_))
                     : (tovali::IsPrivateIPv4(server_ip_) || tovali::IsReservedIPv4(server_ip_));
    if (not_public) {
      std::string resolved = std::move(server_ip_);
      server_ip_ = BackupIp();
      HLOG_WARN(log_, "resolved ip %s is not public, use backup ip: %s", resolved.c_str(),
                server_ip_.c_str());
    }
  }
  deferred_.DeleteSoon(std::move(resolver_));
  detect_timer_.Start(0, 0);
}

const std::string& ReverseDetector::BackupIp() {
  std::string isp;
  ReadFile(kIspFile, isp, 0);  // a link or non-regular file there reads as absent
  isp = Trim(isp, kWhiteSpace);
  if (isp == "1" || isp == "2" || isp == "5") {
    HLOG_INFO(log_, "read isp: %s", isp.c_str());
  } else {
    isp = "1";
  }
  const auto& table = config_.ipv6 ? backup_ipv6_ : backup_ipv4_;
  auto it = table.find(isp);
  if (it == table.end() || it->second.empty()) {
    // The build guarantees every code both families; an empty text fails the connect cleanly.
    static const std::string kNone;
    return kNone;
  }
  std::uniform_int_distribution<size_t> dist(0, it->second.size() - 1);
  return it->second[dist(tovali::RandomEngine())];
}

void ReverseDetector::Detect() {
  sender_ = std::make_unique<tovali::TcpStream>(loop_.base(), !config_.ipv6);
  sender_->reuse_port = true;
  sender_->reuse_addr = true;
  sender_->local_port = listen_port_;
  if (!config_.ip.empty()) {
    HLOG_INFO(log_, "sender bind to ip: %s", config_.ip.c_str());
    sender_->bind_ip = config_.ip;
  }
  if (!config_.nic.empty()) {
    HLOG_INFO(log_, "sender bind to nic: %s", config_.nic.c_str());
    sender_->bind_nic = config_.nic;
  }
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

void ReverseDetector::OnTimeout() {
  HLOG_WARN(log_, "detect timeout");
  ExitLoop();
}

void ReverseDetector::OnListenerError(tovali::TcpListener::Code code) {
  HLOG_ERROR(log_, "on listener error: %d", static_cast<int>(code));
  // Closed at once (the listener allows it inside on_error): left listening until a later
  // pass, it would share the port's connections with its successor and report errors again.
  listener_.reset();
  Start();
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
  WriteIspFile(reply_.isp);  // leaves the file alone for code 0
  std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  HLOG_INFO(log_, "detect result: %s", json.c_str());
}

}  // namespace palvex
