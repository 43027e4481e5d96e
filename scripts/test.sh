#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine: packages, build, every test; then
# every test again on a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j2)
# The sanitizers report only on a fault (and then fail the test); the agent's
# standard error stays empty otherwise.
BUILD_DIR=build-sanitize scripts/build.sh \
  -DBRINDLECAST_SANITIZE=ON -DBRINDLECAST_BENCH=OFF
(cd build-sanitize && UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2)
