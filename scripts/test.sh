#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine: packages, build, every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BRINDLECAST_WERROR=ON scripts/build.sh
(cd build && ctest --output-on-failure -j2)
