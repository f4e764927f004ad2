#include "main/ServerProbe.h"

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

namespace palvex {

uint16_t RandomPort(uint16_t min, uint16_t max) {
  // A reversed range would make the draw undefined.
  if (min > max)
    std::swap(min, max);
  std::uniform_int_distribution<unsigned int> dist(min, max);
  return static_cast<uint16_t>(dist(tovali::RandomEngine()));
}

bool IsPublicAddress(const std::string& ip, bool ipv6) {
  return ipv6 ? !(tovali::IsPrivateIPv6(ip) || tovali::IsReservedIPv6(ip))
              : !(tovali::IsPrivateIPv4(ip) || tovali::IsReservedIPv4(ip));
}

ServerProbe::ServerProbe(ReverseConfig config, const char* log_tag)
    : log_(log_tag), config_(std::move(config)) {
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
  chosen_timer_.Init(loop_.base(), [this] { OnServerChosen(); });
}

ServerProbe::~ServerProbe() {
  StopProbe();
  HLOG_INFO(log_, "DELETE");
}

void ServerProbe::StopProbe() {
  resolver_.reset();
  listener_.reset();
}

void ServerProbe::Publish(const std::string& json, uint16_t isp, const char* what) {
  WriteIspFile(isp);  // leaves the file alone for code 0
  std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  HLOG_INFO(log_, "%s result: %s", what, json.c_str());
}

void ServerProbe::Start() {
  if (!listen_tcp_) {
    ChooseServer();
    return;
  }
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
      ChooseServer();
      return;
    }
  }
  HLOG_ERROR(log_, "listen '%s:%u' failed: %d", config_.ip.c_str(), listen_port_, result);
  ExitLoop();
}

void ServerProbe::ChooseServer() {
  if (!config_.host.empty()) {
    Resolve();
    return;
  }
  server_ip_ = BackupIp();
  HLOG_INFO(log_, "skip resolve, use ip: %s", server_ip_.c_str());
  chosen_timer_.Start(0, 0);
}

void ServerProbe::Resolve() {
  HLOG_INFO(log_, "begin to resolve '%s'", config_.host.c_str());
  resolver_ = std::make_unique<tovali::DnsResolver>(dns_manager_.get(), log_.tag(), true);
  resolver_->Resolve(
      config_.host,
      [this](int code, const std::vector<tovali::DnsIPAddr>& ips) { OnResolved(code, ips); },
      config_.ipv6 ? tovali::kDnsIPv6 : tovali::kDnsIPv4);
}

void ServerProbe::OnResolved(int code, const std::vector<tovali::DnsIPAddr>& ips) {
  if (code != 0) {
    server_ip_ = BackupIp();
    HLOG_ERROR(log_, "resolve failed: %d, use backup ip: %s", code, server_ip_.c_str());
  } else if (ips.empty()) {
    server_ip_ = BackupIp();
    HLOG_ERROR(log_, "no ip resolved, use backup ip: %s", server_ip_.c_str());
  } else {
    server_ip_ = ips.front().ip;
    if (!IsPublicAddress(server_ip_, config_.ipv6)) {
      std::string resolved = std::move(server_ip_);
      server_ip_ = BackupIp();
      HLOG_WARN(log_, "resolved ip %s is not public, use backup ip: %s", resolved.c_str(),
                server_ip_.c_str());
    }
  }
  deferred_.DeleteSoon(std::move(resolver_));
  chosen_timer_.Start(0, 0);
}

const std::string& ServerProbe::BackupIp() {
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

std::unique_ptr<tovali::TcpStream> ServerProbe::NewSender() {
  auto sender = std::make_unique<tovali::TcpStream>(loop_.base(), !config_.ipv6);
  sender->reuse_port = true;
  sender->reuse_addr = true;
  sender->local_port = listen_port_;
  if (!config_.ip.empty()) {
    HLOG_INFO(log_, "sender bind to ip: %s", config_.ip.c_str());
    sender->bind_ip = config_.ip;
  }
  if (!config_.nic.empty()) {
    HLOG_INFO(log_, "sender bind to nic: %s", config_.nic.c_str());
    sender->bind_nic = config_.nic;
  }
  return sender;
}

void ServerProbe::OnTimeout() {
  HLOG_WARN(log_, "detect timeout");
  ExitLoop();
}

void ServerProbe::OnListenerError(tovali::TcpListener::Code code) {
  HLOG_ERROR(log_, "on listener error: %d", static_cast<int>(code));
  // Closed at once (the listener allows it inside on_error): left listening until a later
  // pass, it would share the port's connections with its successor and report errors again.
  listener_.reset();
  Start();
}

}  // namespace palvex
