// Fixed paths of the device that the program reads or writes.
#pragma once

#include <cstddef>

namespace palvex {

// Device identity files, tried in this order; the system host name is the last fall-back.
inline constexpr const char* kIdentityFiles[] = {
    "/tmp/miner_sn",
    "/etc/dorvik/.efuse_sn",
    "/app/system/plugin-mdata/dorvik/.kube_sn",
    "/etc/salmar/miner_sn",
};
inline constexpr size_t kIdentityFileCount = sizeof(kIdentityFiles) / sizeof(kIdentityFiles[0]);

// An identity file larger than this contributes nothing.
inline constexpr size_t kMaxIdentitySize = 1024;

// The ISP code the server reported, kept for the next run's choice of server address.
inline constexpr const char* kIspFile = "/tmp/isp";

}  // namespace palvex
