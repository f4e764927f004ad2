#!/usr/bin/env bash
# Prepares a build of palvex for another architecture, from Debian packages only:
#   - installs the cross compiler (g++-TRIPLE) and qemu-user-static when missing;
#   - fills a staging folder with the target's libraries and headers (libevent, cJSON, CLI11,
#     GoogleTest, Google Benchmark, and nc for the benchmark), downloaded with `apt-get download`
#     and unpacked with `dpkg -x`: target -dev packages cannot be installed beside the build
#     machine's own;
#   - builds a static cJSON (usr/lib/TRIPLE/libcjson.a), which Debian does not ship, and a
#     static libevent core that a linker can trim, from Debian's source packages of the same
#     versions, for fully static builds.
#
#   scripts/stage-target.sh ARCH  (as root)    ARCH: arm64, armhf, mipsel (or the machine's own)
#
# The folder is staging/ARCH in the checkout, or $PALVEX_STAGING_DIR; the toolchain files in
# cmake/toolchains/ look there. apt runs on a private configuration and package lists under the
# folder's .apt/: the machine's sources and architectures stay as they are. Root is needed only
# to install missing packages.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [[ $# -ne 1 || "$1" == -* ]]; then
  echo "usage: $0 ARCH   (a Debian architecture: arm64, armhf, mipsel, ...)" >&2
  exit 2
fi
ARCH=$1
# The build machine's own build tools first: dpkg-architecture and dpkg-source come with them.
"$ROOT/scripts/install-deps.sh"
HOST_ARCH=$(dpkg --print-architecture)
TRIPLE=$(dpkg-architecture -a"$ARCH" -qDEB_HOST_MULTIARCH 2>/dev/null) || {
  echo "stage-target: unknown architecture $ARCH" >&2
  exit 2
}
STAGING=${PALVEX_STAGING_DIR:-$ROOT/staging/$ARCH}
if [[ "$ARCH" != "$HOST_ARCH" ]]; then
  "$ROOT/scripts/install-deps.sh" "g++-$TRIPLE" qemu-user-static
fi

# ---- a private apt: the machine's Debian mirrors, for ARCH and for source packages
apt_dir="$STAGING/.apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
: >"$apt_dir/sources.list"
while read -r uri release; do
  # Debian's own suites (bookworm, bookworm-updates, bookworm-security); no third parties.
  [[ "$release" == "$codename" || "$release" == "$codename"-* ]] || continue
  echo "deb [arch=$ARCH signed-by=$keyring] $uri $release main"
  echo "deb-src [signed-by=$keyring] $uri $release main"
done < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
  sort -u) >"$apt_dir/sources.list"
if [[ ! -s "$apt_dir/sources.list" ]]; then
  echo "stage-target: no Debian $codename mirror found in the apt sources" >&2
  exit 1
fi
apt=(apt-get -q
  -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache::Archives="$apt_dir/archives"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Architectures::="$ARCH" -o APT::Sandbox::User=root)
echo "stage-target: package lists for $ARCH"
# A mirror in the middle of a sync (or stuck in one) serves index files that do not match their
# release file: try again, and in the end go on with the suites that did arrive as long as the
# release's own main list is among them (the packages then come from there).
for attempt in 1 2 3; do
  "${apt[@]}" -o Acquire::Retries=3 update >"$apt_dir/update.log" 2>&1 && break
  if [[ $attempt -eq 3 ]]; then
    if compgen -G "$apt_dir/lists/*_dists_${codename}_main_binary-${ARCH}_Packages*" >/dev/null; then
      echo "stage-target: going on without the package lists that failed:" >&2
      grep '^E: Failed' "$apt_dir/update.log" >&2 || true
      break
    fi
    cat "$apt_dir/update.log" >&2
    exit 1
  fi
  echo "stage-target: package lists incomplete, again in $((attempt * 10)) s"
  sleep $((attempt * 10))
done

# ---- target packages, unpacked into the staging folder
packages=(
  libevent-dev libevent-core-2.1-7 libevent-extra-2.1-7     # libevent and its shared libraries
  libcjson-dev libcjson1                                    # cJSON
  libgtest-dev libgmock-dev                                 # tests
  libbenchmark-dev libbenchmark1debian                      # benchmark programs
  netcat-openbsd libbsd0 libmd0                             # nc -z, the benchmark's baseline
)
debs="$apt_dir/debs"
rm -rf "$debs"
find "$STAGING" -mindepth 1 -maxdepth 1 ! -name .apt -exec rm -rf {} +  # an earlier unpacking
mkdir -p "$debs"
echo "stage-target: downloading ${packages[*]} and libcli11-dev"
(cd "$debs" && "${apt[@]}" download "${packages[@]/%/:$ARCH}" libcli11-dev)
for deb in "$debs"/*.deb; do
  dpkg -x "$deb" "$STAGING"
done

# ---- static libraries from Debian's source packages of the staged versions
src="$apt_dir/src"
rm -rf "$src"
mkdir -p "$src"

# unpack_source DEV_PACKAGE SOURCE_PACKAGE: unpacks the source of the staged DEV_PACKAGE's
# version into $src and prints its folder.
unpack_source() {
  local version
  version=$(dpkg-deb -f "$debs/$1"_*.deb Version)
  echo "stage-target: building a static $2 $version for $TRIPLE" >&2
  (cd "$src" && "${apt[@]}" source "$2=$version" >"$apt_dir/source.log" 2>&1) || {
    cat "$apt_dir/source.log" >&2
    exit 1
  }
  find "$src" -mindepth 1 -maxdepth 1 -type d -name "$2-*"
}

# library NAME OBJECT...: STAGING's usr/lib/TRIPLE/libNAME.a made of the objects.
library() {
  local archive="$STAGING/usr/lib/$TRIPLE/lib$1.a"
  shift
  rm -f "$archive"
  "$TRIPLE-ar" rcs "$archive" "$@"
}

# C code without unwind tables: nothing is ever unwound through these libraries (palvex throws
# nothing, least of all through a libevent callback), and the tables are a tenth of their size.
c_flags=(-Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables)

# cJSON: Debian ships no static one.
cjson_dir=$(unpack_source libcjson-dev cjson)
"$TRIPLE-gcc" -std=c89 "${c_flags[@]}" -c "$cjson_dir/cJSON.c" -o "$src/cJSON.o"
library cjson "$src/cJSON.o"

# libevent's core: Debian's libevent_core.a keeps each source file in one section, so a
# static palvex carries all of libevent's utility code and the C library's scanf behind it.
# Compiled again with one section per function, the linker keeps only what palvex calls (about
# 65 KB less on aarch64). Debian's own configuration header for ARCH (staged above) keeps its
# build choices; the private one holds what Debian's configure puts there on Linux.
libevent_dir=$(unpack_source libevent-dev libevent)
printf '#define _GNU_SOURCE 1\n#define _FILE_OFFSET_BITS 64\n' >"$src/evconfig-private.h"
objects=()
# libevent 2.1's core library with the back ends Linux has.
for name in buffer bufferevent bufferevent_filter bufferevent_pair bufferevent_ratelim \
  bufferevent_sock event evmap evthread evutil evutil_rand evutil_time listener log signal \
  strlcpy select poll epoll; do
  "$TRIPLE-gcc" "${c_flags[@]}" -I"$src" -I"$libevent_dir/include" \
    -I"$STAGING/usr/include" -I"$libevent_dir" -c "$libevent_dir/$name.c" -o "$src/$name.o"
  objects+=("$src/$name.o")
done
library event_core "${objects[@]}"

echo "stage-target: $STAGING is ready for $ARCH ($TRIPLE)"
