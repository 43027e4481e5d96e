#!/usr/bin/env bash
# Builds the agent and runs it on every example session against the default
# virtual Mac, printing each request and its response.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
for session in examples/*.jsonl; do
  echo "== $session"
  # Requests and responses, side by side in order.
  paste -d '\n' <(sed 's/^/> /' "$session") <(./build/BrindlecastNative < "$session" | sed 's/^/< /')
done
echo "== a frame of the default display"
examples/capture-frame.sh build/frame.jpg
