// What every worker of the service shares: the configuration, the counters, the per-source
// limits, the connection and dial-back ceilings, the record writer and the location table in
// use. Everything here may be used from any thread; the table is swapped whole on reload, and a
// worker keeps the one it looked up for as long as it needs it.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "server/GeoDatabases.h"
#include "server/GradingBook.h"
#include "server/LocationTable.h"
#include "server/RecordWriter.h"
#include "server/ServerConfig.h"
#include "server/ServiceMetrics.h"
#include "server/SourceLimiter.h"

namespace palvexd {

class ServiceState {
 public:
  explicit ServiceState(ServerConfig config)
      : config(std::move(config)),
        limiter(this->config.source_connections, this->config.source_rate),
        connections(this->config.max_connections),
        dialbacks(this->config.max_dialbacks),
        gradings(this->config.max_connections),
        table_(std::make_shared<const LocationTable>()) {}

  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  std::shared_ptr<const LocationTable> table() const {
    std::lock_guard<std::mutex> lock(table_mutex_);
    return table_;
  }
  void set_table(std::shared_ptr<const LocationTable> table) {
    std::lock_guard<std::mutex> lock(table_mutex_);
    table_.swap(table);
    // The old table (now in `table`) dies outside the lock, once its last reader lets go.
  }
  std::shared_ptr<const GeoDatabases> geo() const {
    std::lock_guard<std::mutex> lock(table_mutex_);
    return geo_;
  }
  void set_geo(std::shared_ptr<const GeoDatabases> geo) {
    std::lock_guard<std::mutex> lock(table_mutex_);
    geo_.swap(geo);
  }
  // The table's codes for a prefix holding `ip`, else the databases'.
  Location Locate(const std::string& ip) const {
    std::shared_ptr<const LocationTable> table;
    std::shared_ptr<const GeoDatabases> databases;
    {
      // One lock a request for both: every worker comes here for every request.
      std::lock_guard<std::mutex> lock(table_mutex_);
      table = table_;
      databases = geo_;
    }
    Location location = table->Lookup(ip);
    if (location.matched || !databases)
      return location;
    return databases->Lookup(ip);
  }

  const ServerConfig config;
  ServiceMetrics metrics;
  SourceLimiter limiter;
  RecordWriter records;
  Slots connections;  // open client connections
  Slots dialbacks;    // dial-backs from the request's acceptance until their connection closes
  GradingBook gradings;

 private:
  mutable std::mutex table_mutex_;
  std::shared_ptr<const LocationTable> table_;
  std::shared_ptr<const GeoDatabases> geo_;  // null without databases
};

}  // namespace palvexd
