// The built-in addresses of the detection service, generated at build time from a table file
// (default src/main/backup_servers.txt, or the CMake cache variable PALVEX_BACKUP_SERVERS).
#pragma once

#include <cstddef>

namespace palvex {

struct BackupServer {
  const char* isp;      // ISP code text: "1", "2" or "5"
  const char* address;  // numeric IPv4 or IPv6 address
};

// In table order; every code has at least one address of each family.
extern const BackupServer kBackupServers[];
extern const size_t kBackupServerCount;

}  // namespace palvex
