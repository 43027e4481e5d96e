#!/usr/bin/env bash
# Builds the agent and runs it on every example session against the sample
# virtual Mac examples/states/apps-running.json (its application folders are
# made by examples/sample-bundles.sh), printing each request and its response.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
examples/sample-bundles.sh >/dev/null
export BRINDLECAST_VIRTUAL_MAC=examples/states/apps-running.json
for session in examples/*.jsonl; do
  echo "== $session"
  # Requests and responses, side by side in order.
  paste -d '\n' <(sed 's/^/> /' "$session") <(./build/BrindlecastNative < "$session" | sed 's/^/< /')
done
echo "== a frame of the main display"
examples/capture-frame.sh build/frame.jpg
