#!/usr/bin/env bash
# Installs what is missing, builds palvex in ./build, and shows one complete reverse detection
# and a short TCP ping, both inside an isolated network namespace with the project's own local
# detection server: nothing leaves the machine (needs root for the namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target palvex
echo
build/palvex --version

exec tests/tools/netns-run bash -c '
  set -euo pipefail
  python3 tests/e2e/detect_server.py --port 60002 >/tmp/server.out 2>&1 &
  server=$!
  trap "kill $server 2>/dev/null || true" EXIT
  for _ in $(seq 100); do grep -q ready /tmp/server.out 2>/dev/null && break; sleep 0.05; done
  echo "serial-0001" >/tmp/miner_sn
  echo
  echo "\$ palvex -l /tmp/palvex.log          # reverse detection against the local test server"
  build/palvex -l /tmp/palvex.log
  echo
  echo "\$ palvex ping -H 127.0.0.1 -P 60002 -c 3 -i 200"
  build/palvex ping -H 127.0.0.1 -P 60002 -c 3 -i 200
'
