#!/usr/bin/env bash
# Captures one frame of a display through the agent and writes the JPEG to a file.
#
#   examples/capture-frame.sh [out.jpg] [profile] [maxWidth] [maxHeight] [jpegQuality] [monitorId]
#
# Defaults: frame.jpg in the current folder, "balanced", 1280 x 720, quality
# 75, the main display. The agent is build/BrindlecastNative of this
# repository (or $BRINDLECAST_AGENT); off macOS it
# shows the virtual Mac named by $BRINDLECAST_VIRTUAL_MAC, or the built-in
# desktop when that is unset. Prints the response with the picture text
# shortened, and exits 1 when the agent answers with a failure.
set -euo pipefail
repository=$(cd "$(dirname "$0")/.." && pwd)

out=${1:-frame.jpg}
profile=${2:-balanced}
max_width=${3:-1280}
max_height=${4:-720}
quality=${5:-75}
monitor=${6:-}
agent=${BRINDLECAST_AGENT:-$repository/build/BrindlecastNative}

request="{\"id\":\"frame-1\",\"operation\":\"desktop.frame\",\"profile\":\"$profile\",\"maxWidth\":$max_width,\"maxHeight\":$max_height,\"jpegQuality\":$quality"
[ -n "$monitor" ] && request+=",\"monitorId\":\"$monitor\""
request+="}"

response=$(printf '%s\n' "$request" | "$agent")
# Base64 has no quote, so the picture is everything between "data":" and the next quote.
data=$(printf '%s' "$response" | sed -n 's/.*"data":"\([^"]*\)".*/\1/p')
if [ -z "$data" ]; then
  printf '%s\n' "$response" >&2
  exit 1
fi
printf '%s' "$data" | base64 -d > "$out"
printf '%s\n' "$response" | sed 's/"data":"\(.\{24\}\)[^"]*"/"data":"\1..."/'
echo "wrote $out ($(wc -c < "$out") bytes)"
