#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $BUILD_DIR), with
# warnings as errors unless BRINDLECAST_WERROR=OFF. scripts/example.sh and
# scripts/test.sh both build build/ through here with the same flags, so
# running one after the other rebuilds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLECAST_WERROR="${BRINDLECAST_WERROR:-ON}" "$@" >/dev/null
cmake --build "$build_dir" -j"${BUILD_JOBS:-2}"
