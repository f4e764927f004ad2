// palvexd's entry: the command line, the version line, logging set-up, and the service's run.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BuildInfo.h"
#include "server/DetectService.h"
#include "server/ServerConfig.h"
#include "tovali/Network/socket_util.h"
#include "tovali/log/logger.h"
#include "tovali/log/sinker.h"

using palvexd::ServerConfig;

namespace {

const char* const kServerName = "palvexd";

// Checks what CLI11 cannot express; an empty text when everything is acceptable.
std::string Validate(const std::vector<std::string>& listen, const std::vector<std::string>& from,
                     ServerConfig* config, std::string* option) {
  for (const std::string& text : listen) {
    palvexd::Endpoint endpoint;
    if (!palvexd::ParseEndpoint(text, &endpoint)) {
      *option = "--listen";
      return "'" + text + "' is not ADDR:PORT (a.b.c.d:port or [v6]:port, port 1-65535)";
    }
    config->listen.push_back(endpoint);
  }
  for (const std::string& ip : from) {
    std::string& slot = tovali::IsIPv4(ip) ? config->dialback_from_v4 : config->dialback_from_v6;
    *option = "--dialback-from";
    if (!tovali::IsIPv4(ip) && !tovali::IsIPv6(ip))
      return "'" + ip + "' is not a numeric IPv4 or IPv6 address";
    if (!slot.empty())
      return "at most one address per family";
    slot = ip;
  }
  if (!config->metrics.empty()) {
    palvexd::Endpoint endpoint;
    *option = "--metrics";
    if (!palvexd::ParseEndpoint(config->metrics, &endpoint))
      return "'" + config->metrics + "' is not ADDR:PORT";
  }
  return "";
}

// One numeric address per family into the v4 or v6 slot.
std::string TakePerFamily(const std::vector<std::string>& ips, std::string* v4, std::string* v6) {
  for (const std::string& ip : ips) {
    if (!tovali::IsIPv4(ip) && !tovali::IsIPv6(ip))
      return "'" + ip + "' is not a numeric IPv4 or IPv6 address";
    std::string& slot = tovali::IsIPv4(ip) ? *v4 : *v6;
    if (!slot.empty())
      return "at most one address per family";
    slot = ip;
  }
  return "";
}

// The grading's addresses; an empty text when they fit together.
std::string ValidateGrading(const std::vector<std::string>& other,
                            const std::vector<std::string>& advertised, ServerConfig* config,
                            std::string* option) {
  *option = "--other-address";
  std::string problem = TakePerFamily(other, &config->other_v4, &config->other_v6);
  if (!problem.empty())
    return problem;
  *option = "--other-advertised";
  problem = TakePerFamily(advertised, &config->other_advertised_v4, &config->other_advertised_v6);
  if (!problem.empty())
    return problem;
  if ((!config->other_advertised_v4.empty() && config->other_v4.empty()) ||
      (!config->other_advertised_v6.empty() && config->other_v6.empty()))
    return "needs --other-address of the same family";
  *option = "--other-address";
  if ((!config->other_v4.empty() || !config->other_v6.empty()) && config->other_port == 0)
    return "needs --other-port: a grading asks the other address on both ports";
  // A grading tells its requests apart by the address and port they came to.
  for (const palvexd::Endpoint& listen : config->listen) {
    if (listen.ip == config->other_v4 || listen.ip == config->other_v6)
      return "'" + listen.ip + "' is a --listen address already";
    if (listen.port == config->other_port) {
      *option = "--other-port";
      return std::to_string(listen.port) + " is a --listen port already";
    }
  }
  if (config->listen.empty() && config->other_port == palvexd::kDefaultPort) {
    *option = "--other-port";
    return std::to_string(palvexd::kDefaultPort) + " is the listen port already";
  }
  return "";
}

// What a device would refuse to be pointed at.
bool IsPublic(const std::string& ip) {
  return tovali::IsIPv4(ip) ? !tovali::IsPrivateIPv4(ip) && !tovali::IsReservedIPv4(ip)
                            : !tovali::IsPrivateIPv6(ip) && !tovali::IsReservedIPv6(ip);
}

}  // namespace

int main(int argc, char** argv) {
  ServerConfig config;
  bool version = false;
  std::string log_path;
  std::vector<std::string> listen;
  std::vector<std::string> dialback_from;
  std::vector<std::string> other_address;
  std::vector<std::string> other_advertised;
  std::vector<std::string> stun;

  CLI::App app{"palvexd: the detection service palvex connects to", kServerName};
  // A count or a time of 0 would stop the service; the text is checked before it is converted.
  const CLI::Validator positive(
      [](std::string& text) {
        return !text.empty() && text.find_first_not_of('0') == std::string::npos
                   ? std::string("must be at least 1")
                   : std::string();
      },
      "POSITIVE");
  // Each default is the ServerConfig field's own, shown by CLI11 ([value]); each range is
  // checked by CLI11 too: help, behaviour and the man page read one value.
  app.add_flag("-v,--version", version, "show version");
  app.add_option("-l,--log_path", log_path, "log path (default: warnings and errors on stderr)");
  app.add_option("--listen", listen,
                 "ADDR:PORT to serve, repeatable (default: 0.0.0.0:60002 and [::]:60002)")
      ->allow_extra_args(false);
  app.add_option("--locations", config.locations,
                 "location table: CIDR COUNTRY PROVINCE CITY ISP per line (default: none)");
  app.add_option("--mmdb-city", config.mmdb_city,
                 "MMDB city database: country, province and city codes (default: none)");
  app.add_option("--mmdb-asn", config.mmdb_asn, "MMDB ASN database: ISP codes (default: none)");
  app.add_option("--map-province", config.map_province,
                 "province codes: CC-SUB NUMBER per line (default: none)");
  app.add_option("--map-city", config.map_city,
                 "city codes: GEONAME_ID NUMBER per line (default: none)");
  app.add_option("--map-isp", config.map_isp, "ISP codes: ASN NUMBER per line (default: none)");
  app.add_option("--record", config.record, "append records to this file (default: stdout)");
  app.add_option("--metrics", config.metrics, "serve /metrics and /healthz on ADDR:PORT");
  app.add_option("--workers", config.workers, "event loops, one thread each")
      ->capture_default_str()
      ->check(CLI::Range(1u, palvexd::kMaxWorkers));
  app.add_option("--max-request", config.max_request, "largest identity in bytes")
      ->capture_default_str();
  app.add_option("--read-timeout", config.read_timeout_ms, "ms for the request to arrive")
      ->capture_default_str()
      ->check(positive);
  app.add_option("--hold-timeout", config.hold_timeout_ms,
                 "ms to keep a connection after the reply")
      ->capture_default_str()
      ->check(positive);
  app.add_option("--dialback-delay", config.dialback_delay_ms, "ms between reply and dial-back")
      ->capture_default_str();
  app.add_option("--dialback-from", dialback_from,
                 "source IP of dial-backs, one per family (default: the address dialled)")
      ->allow_extra_args(false);
  app.add_option("--connect-timeout", config.connect_timeout_ms, "dial-back connect timeout in ms")
      ->capture_default_str()
      ->check(positive);
  app.add_option("--server-id", config.server_id, "payload of the dial-back frame")
      ->capture_default_str();
  app.add_option("--max-connections", config.max_connections, "open client connections")
      ->capture_default_str()
      ->check(positive);
  app.add_option("--max-dialbacks", config.max_dialbacks, "dial-backs in flight")
      ->capture_default_str()
      ->check(positive);
  app.add_option("--source-connections", config.source_connections,
                 "open connections per source address, 0: no limit")
      ->capture_default_str();
  app.add_option("--source-rate", config.source_rate,
                 "requests a minute per source address, 0: no limit")
      ->capture_default_str();
  app.add_option("--other-address", other_address,
                 "second local address for NAT grading, one per family (default: none)")
      ->allow_extra_args(false);
  app.add_option("--other-port", config.other_port, "second port for NAT grading (default: none)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--other-advertised", other_advertised,
                 "public form of --other-address told to devices, one per family "
                 "(default: the other address)")
      ->allow_extra_args(false);
  app.add_option("--stun", stun,
                 "ADDR:PORT of a STUN service (UDP), repeatable; with --other-address and "
                 "--other-port it serves all four pairs (default: off)")
      ->allow_extra_args(false);
  app.add_option("--grading-timeout", config.grading_timeout_ms,
                 "connect timeout of grading dial-backs in ms")
      ->capture_default_str()
      ->check(positive);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (version) {
    std::printf("%s %s (%s %s)\n", kServerName, palvex::kVersion, palvex::kCommitId,
                palvex::kBuildDate);
    return 0;
  }
  std::string option;
  std::string problem = Validate(listen, dialback_from, &config, &option);
  if (!problem.empty())
    return app.exit(CLI::ValidationError(option, problem));
  for (const std::string& text : stun) {
    palvexd::Endpoint endpoint;
    if (!palvexd::ParseEndpoint(text, &endpoint) || endpoint.ip == "0.0.0.0" || endpoint.ip == "::")
      return app.exit(CLI::ValidationError(
          "--stun", "'" + text + "' is not ADDR:PORT with a specific address (responses name it)"));
    config.stun.push_back(endpoint);
  }
  problem = ValidateGrading(other_address, other_advertised, &config, &option);
  if (!problem.empty()) {
    // A configuration that cannot grade correctly: a stop like a bad table's.
    std::fprintf(stderr, "%s: %s: %s\n", kServerName, option.c_str(), problem.c_str());
    return 2;
  }

  // Standard output may carry the records: log lines go to stderr or the log file.
  tovali::SetLoggerName(kServerName);
  if (log_path.empty()) {
    auto console = std::make_shared<tovali::ConsoleSinker>(tovali::kDefaultLogPattern, stderr);
    console->SetLevel(tovali::kLogWarn);
    tovali::SetLogSinkers({console});
    tovali::SetLogLevel(tovali::kLogWarn);
  } else if (!tovali::InitLogger(log_path)) {
    std::fputs("init logger failed\n", stderr);
    return 1;
  }
  LOG_INFO("", "==== %s %s (%s %s) ====", kServerName, palvex::kVersion, palvex::kCommitId,
           palvex::kBuildDate);
  for (const std::string& told :
       {palvexd::AdvertisedOther(config, true), palvexd::AdvertisedOther(config, false)}) {
    if (!told.empty() && !IsPublic(told))
      LOG_WARN("", "other address %s is not public: devices will not use it", told.c_str());
  }
  // A reader of standard output going away must not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  auto service = std::make_unique<palvexd::DetectService>(std::move(config));
  int status = service->Start();
  if (status != 0)
    return status;
  return service->Run();
}
