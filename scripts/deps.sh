#!/usr/bin/env bash
# Installs the Debian 12 packages the agent, its tests and benchmarks need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libboost-json1.81-dev libssl-dev libturbojpeg0-dev libjpeg62-turbo-dev libspng-dev
  libutf8proc-dev libplist-dev libgtest-dev libbenchmark-dev
  python3 python3-jsonschema
  # the Linux desktop agent (X11)
  libx11-dev libxtst-dev libxrandr-dev libxext-dev libxfixes-dev libxcomposite-dev libxres-dev
  libatspi2.0-dev libglib2.0-dev libgdk-pixbuf-2.0-dev librsvg2-common
  # the X11 tests' headless desktop
  xvfb openbox x11-xserver-utils x11-apps dbus-daemon dbus-bin at-spi2-core python3-gi gir1.2-gtk-3.0 gir1.2-gtk-4.0
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
