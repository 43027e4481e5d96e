#!/usr/bin/env bash
# Builds a fuzz target with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs it on one core.
#
#   fuzz/run.sh TARGET [seconds] [libFuzzer options...]
#
# TARGET is one of
#   fast   request lines, one pass against one small virtual Mac (thousands of inputs a second)
#   deep   request lines, four passes against three virtual Macs, with small reads
#   state  virtual Mac state files, each serving one request
#   desktop what a Linux desktop supplies the X11 agent: desktop entries, icon
#          files, the XSETTINGS property, icon themes (built when the X11
#          libraries are there)
# Seconds default to 60. A request target starts from the seeds in
# fuzz/corpus/, the state target from fuzz/corpus-state/, the desktop target
# from fuzz/corpus-desktop/; what a run finds
# new goes to fuzz/corpus-run/TARGET/ (ignored by git), and an input that
# breaks a rule is written to build-fuzz/artifacts/. Replay one with
#   build-fuzz/fuzz/brindlecast_fuzz_TARGET -close_fd_mask=2 <file>
# and, once fixed, copy it into the target's seed folder so that every test
# run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
target=${1:-}
case "$target" in
  fast) seeds=$root/fuzz/corpus; options=(-max_len=512 -dict=$root/fuzz/requests.dict) ;;
  deep) seeds=$root/fuzz/corpus; options=(-max_len=16384 -dict=$root/fuzz/requests.dict) ;;
  state) seeds=$root/fuzz/corpus-state; options=(-max_len=8192 -dict=$root/fuzz/state.dict) ;;
  desktop) seeds=$root/fuzz/corpus-desktop; options=(-max_len=16384) ;;
  *) echo "usage: fuzz/run.sh fast|deep|state|desktop [seconds] [libFuzzer options...]" >&2; exit 2 ;;
esac
shift
seconds=${1:-60}
shift || true
build_dir=$(realpath -m "${BUILD_DIR:-build-fuzz}")
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLECAST_FUZZ=ON -DBRINDLECAST_SANITIZE=ON -DBRINDLECAST_TESTS=OFF -DBRINDLECAST_BENCH=OFF >/dev/null
cmake --build "$build_dir" --target "brindlecast_fuzz_$target" -- -j2
mkdir -p "fuzz/corpus-run/$target" "$build_dir/artifacts"
# The fast target keeps short allocation stacks and a small quarantine:
# recording and recycling them is a large part of its time. Replay a finding
# with the deep target for full reports.
if [ "$target" = fast ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=2:quarantine_size_mb=16}
fi
# The timeout is wall time: on a busy shared machine a stall of ten seconds
# happens without any fault.
# -close_fd_mask=2 moves the fuzzer's and the sanitizers' output off standard
# error, so that the fuzzer can check that the agent writes nothing there.
exec "$build_dir/fuzz/brindlecast_fuzz_$target" "$root/fuzz/corpus-run/$target" "$seeds" \
  -max_total_time="$seconds" "${options[@]}" -close_fd_mask=2 \
  -timeout=30 -rss_limit_mb=1024 -malloc_limit_mb=64 -print_final_stats=1 \
  -artifact_prefix="$build_dir/artifacts/$target-" "$@"
