#!/usr/bin/env bash
# The whole test suite: installs what is missing, configures and builds in ./build, runs CTest.
# Namespace tests and end-to-end tests need root; without it they are reported as skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPALVEX_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
