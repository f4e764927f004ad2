#!/usr/bin/env bash
# Installs what palvex needs to build and test, from Debian packages. Idempotent: when every
# package is present it only asks dpkg and returns. Run as root (or through sudo).
#   scripts/install-deps.sh              build and test dependencies
#   scripts/install-deps.sh --bench      also the tools the benchmarks compare against
#   scripts/install-deps.sh --fuzz       also clang and its libFuzzer runtime (tests/fuzz)
#   scripts/install-deps.sh [--bench] [--fuzz] PACKAGE...   and these packages too
set -euo pipefail

packages=(
  build-essential cmake
  libevent-dev libcli11-dev libcjson-dev libmaxminddb-dev iso-codes libmaxmind-db-writer-perl
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 iproute2 iptables nftables util-linux procps man-db prometheus coturn stun-client
)
for option in "$@"; do
  case "$option" in
    --bench) packages+=(netcat-openbsd time hyperfine nmap libnetfilter-queue-dev) ;;
    --fuzz) packages+=(clang libclang-rt-dev) ;;
    -*) echo "install-deps: unknown option $option" >&2; exit 2 ;;
    *) packages+=("$option") ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
# Other builds on the same machine may hold the package lock for a while.
apt=(apt-get -o DPkg::Lock::Timeout=600)
if ! "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; then
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi
