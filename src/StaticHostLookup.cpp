// Linked into fully static builds only. A static C library has the "files" and "dns" name
// services built in, but loads any other service that /etc/nsswitch.conf names from the
// device's shared C library, which need not match the one linked in (at best the lookup fails,
// at worst the program crashes). Host lookups therefore use exactly files, then dns:
// /etc/hosts and /etc/resolv.conf still decide the answers.
#include <nss.h>

namespace {

struct StaticHostLookup {
  StaticHostLookup() { __nss_configure_lookup("hosts", "files dns"); }
};

// Before main, so before any lookup thread exists.
const StaticHostLookup static_host_lookup;

}  // namespace
