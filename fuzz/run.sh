#!/usr/bin/env bash
# Builds the request fuzzer with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs it on one core.
#
#   fuzz/run.sh [seconds] [libFuzzer options...]
#
# Seconds default to 60. It starts from the seeds in fuzz/corpus/ and keeps
# what it finds new in fuzz/corpus-run/; an input that breaks a rule is
# written to build-fuzz/artifacts/. Replay one with
#   build-fuzz/fuzz/brindlecast_request_fuzzer -close_fd_mask=2 <file>
# and, once fixed, copy it into fuzz/corpus/ so that every test run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build_dir=${BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLECAST_FUZZ=ON -DBRINDLECAST_SANITIZE=ON -DBRINDLECAST_TESTS=OFF -DBRINDLECAST_BENCH=OFF >/dev/null
cmake --build "$build_dir" --target brindlecast_request_fuzzer -- -j2
mkdir -p fuzz/corpus-run "$build_dir/artifacts"
# -close_fd_mask=2 moves the fuzzer's and the sanitizers' output off standard
# error, so that the fuzzer can check that the agent writes nothing there.
exec "$build_dir/fuzz/brindlecast_request_fuzzer" fuzz/corpus-run fuzz/corpus \
  -max_total_time="$seconds" -max_len=16384 -dict=fuzz/requests.dict -close_fd_mask=2 \
  -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
  -artifact_prefix="$build_dir/artifacts/" "$@"
