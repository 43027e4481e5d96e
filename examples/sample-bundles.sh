#!/usr/bin/env bash
# Builds the sample application folders that the states in examples/states/
# scan, at a fixed place so that their application identifiers (which come
# from the bundles' paths) are the same on every machine:
#
#   /tmp/brindlecast-sample/Applications/Notes.app     catalogued, with an icon
#   /tmp/brindlecast-sample/Applications/Atlas.app     catalogued
#   /tmp/brindlecast-sample/Applications/Utilities/Clock.app   catalogued (one folder down)
#   /tmp/brindlecast-sample/System/Finder.app          catalogued, protected (com.apple.finder)
#   /tmp/brindlecast-sample/Home/                      empty
#
# Safe to run again: it rewrites the same files.
set -euo pipefail
cd "$(dirname "$0")"
root=${BRINDLECAST_SAMPLE_ROOT:-/tmp/brindlecast-sample}

bundle() {  # bundle PATH IDENTIFIER NAME [ICON]
  local path=$1 id=$2 name=$3 icon=${4:-}
  mkdir -p "$path/Contents/MacOS" "$path/Contents/Resources"
  local exe=${name// /}
  : > "$path/Contents/MacOS/$exe"
  chmod 755 "$path/Contents/MacOS/$exe"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">'
    echo '<plist version="1.0"><dict>'
    echo "  <key>CFBundleIdentifier</key><string>$id</string>"
    echo "  <key>CFBundleDisplayName</key><string>$name</string>"
    echo "  <key>CFBundleExecutable</key><string>$exe</string>"
    [ -n "$icon" ] && echo "  <key>CFBundleIconFile</key><string>$(basename "$icon")</string>"
    echo '</dict></plist>'
  } > "$path/Contents/Info.plist.new"
  mv "$path/Contents/Info.plist.new" "$path/Contents/Info.plist"
  [ -n "$icon" ] && cp "$icon" "$path/Contents/Resources/"
  return 0
}

mkdir -p "$root/Home"
bundle "$root/Applications/Notes.app" com.example.notes "Notes" states/pictures/notes-icon.png
bundle "$root/Applications/Atlas.app" com.example.atlas "Atlas"
bundle "$root/Applications/Utilities/Clock.app" com.example.clock "Clock"
bundle "$root/System/Finder.app" com.apple.finder "Finder"
echo "$root"
