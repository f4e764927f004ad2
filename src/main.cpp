// Program entry: the command line of both modes, the version line, logging set-up, and the run
// of the chosen detector.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "BuildInfo.h"
#include "base/Context.h"
#include "main/Configs.h"
#include "main/NatDetector.h"
#include "main/PingDetector.h"
#include "main/ReverseDetector.h"
#include "main/UdpNatDetector.h"
#include "tovali/log/logger.h"

using palvex::PingConfig;
using palvex::ReverseConfig;

namespace {

// "<what> (default: <value><unit>)", the value from the constant the record starts from.
std::string WithDefault(const char* what, uint32_t value, const char* unit = "") {
  return std::string(what) + " (default: " + std::to_string(value) + unit + ")";
}

// The options of the modes that talk to the detection server: its address, and where to
// listen and connect from.
void AddServerOptions(CLI::App* app, ReverseConfig* config) {
  app->add_option("-n,--nic", config->nic, "bind nic");
  app->add_option("-i,--ip", config->ip, "bind ip (default: 0.0.0.0)");
  app->add_option("-H,--host", config->host, "server host (default: empty)");
  app->add_option("-P,--port", config->port,
                  WithDefault("server port", palvex::kDefaultServerPort));
  app->add_option("-I,--bind_min_port", config->bind_min_port,
                  WithDefault("bind min port", palvex::kDefaultBindMinPort));
  app->add_option("-A,--bind_max_port", config->bind_max_port,
                  WithDefault("bind max port", palvex::kDefaultBindMaxPort));
}

}  // namespace

int main(int argc, char** argv) {
  // Until the run context watches them, SIGINT and SIGTERM wait instead of killing the run.
  palvex::Context::HoldStopSignals();

  ReverseConfig reverse;
  ReverseConfig nat;
  nat.timeout = palvex::kDefaultNatTimeoutMs;
  PingConfig ping;
  bool version = false;
  std::string log_path;

  CLI::App app{"", ""};
  app.add_flag("-v,--version", version, "show version");
  app.add_option("-l,--log_path", log_path, "log path, no log when empty");
  AddServerOptions(&app, &reverse);
  app.add_option("-t,--timeout", reverse.timeout,
                 WithDefault("detect timeout", palvex::kDefaultTimeoutMs, " ms"));
  app.add_flag("-6,--ipv6", reverse.ipv6, "detect ipv6");
  app.add_flag("-L,--locate", reverse.locate, "locate only");

  CLI::App* ping_cmd = app.add_subcommand("ping", "");
  ping_cmd->add_option("-H,--host", ping.host,
                       std::string("ping dest host (default: ") + palvex::kDefaultPingHost + ")");
  ping_cmd->add_option("-P,--port", ping.port,
                       WithDefault("ping dest port", palvex::kDefaultPingPort));
  ping_cmd->add_option("-c,--count", ping.count,
                       WithDefault("ping count", palvex::kDefaultPingCount));
  ping_cmd->add_option("-i,--interval", ping.interval,
                       WithDefault("ping interval", palvex::kDefaultPingIntervalMs, "ms"));
  ping_cmd->add_option("-b,--bind_ip", ping.bind_ip, "bind to ip");
  ping_cmd->add_option("-n,--bind_nic", ping.bind_nic, "bind to nic");
  ping_cmd->add_flag("-6,--ipv6", ping.ipv6, "detect ipv6");

  CLI::App* nat_cmd = app.add_subcommand("nat", "grade tcp nat");
  nat_cmd->add_option("-l,--log_path", log_path, "log path, no log when empty");
  AddServerOptions(nat_cmd, &nat);
  nat_cmd->add_option("-t,--timeout", nat.timeout,
                      WithDefault("grading timeout", palvex::kDefaultNatTimeoutMs, " ms"));
  nat_cmd->add_flag("-6,--ipv6", nat.ipv6, "grade ipv6");
  bool udp = false;
  nat_cmd->add_flag("-u,--udp", udp, "grade udp with stun (port default: 3478)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (version) {
    std::printf("%s %s (%s %s)\n", palvex::kProgramName, palvex::kVersion, palvex::kCommitId,
                palvex::kBuildDate);
    return 0;
  }

  if (ping_cmd->parsed()) {
    // Ping mode never touches the logger: -l is ignored here.
    if (ping.interval == 0) {
      // A repeat of 0 ms would never tick again.
      return app.exit(CLI::ValidationError("--interval", "must be at least 1 ms"));
    }
    auto detector = std::make_unique<palvex::PingDetector>(std::move(ping));
    detector->Run();
    detector.reset();
    return 0;
  }

  // The default mode and nat log alike.
  if (log_path.empty()) {
    tovali::SetLogLevel(tovali::kLogNone);
  } else if (!tovali::InitLogger(log_path)) {
    std::fputs("init logger failed\n", stderr);
    return 1;
  }
  LOG_INFO("", "==== %s %s (%s %s) ====", palvex::kProgramName, palvex::kVersion, palvex::kCommitId,
           palvex::kBuildDate);
  // The detector's destructor prints the one result line, whatever ended the run.
  if (nat_cmd->parsed() && udp) {
    if (nat_cmd->count("-P") == 0)
      nat.port = palvex::kDefaultStunPort;
    auto grader = std::make_unique<palvex::UdpNatDetector>(std::move(nat));
    grader->Run();
    grader.reset();
    return 0;
  }
  if (nat_cmd->parsed()) {
    auto grader = std::make_unique<palvex::NatDetector>(std::move(nat));
    grader->Run();
    grader.reset();
    return 0;
  }
  auto detector = std::make_unique<palvex::ReverseDetector>(std::move(reverse));
  detector->Run();
  detector.reset();
  return 0;
}
