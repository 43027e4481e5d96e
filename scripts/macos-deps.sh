#!/usr/bin/env bash
# Builds the agent's portable dependencies on macOS from their released
# sources, as static archives in one prefix that the Apple build links from:
# Boost.JSON, OpenSSL's libcrypto, libjpeg-turbo, libspng, utf8proc, libplist.
# Nothing of them is loaded at run time, so the signed agent links only what
# is in /usr/lib and /System.
#
#   scripts/macos-deps.sh [PREFIX]            default PREFIX: .deps/macos
#   ARCHS="arm64 x86_64" scripts/macos-deps.sh   both architectures (universal)
#
# Each dependency is built once per architecture (libjpeg-turbo and OpenSSL
# carry assembly and build one architecture at a time) and the archives are
# merged with lipo. The headers of the architectures must be identical; the
# script stops if they are not. Needs the Command Line Tools, cmake, ninja,
# curl, and nasm for libjpeg-turbo's x86_64 SIMD code.
#
# Downloads are checked against scripts/macos-deps.sha256 when that file is
# there; otherwise their sums are printed for it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/.deps/macos}"
case "$prefix" in /*) ;; *) prefix="$PWD/$prefix" ;; esac
case "$prefix" in / | "$HOME" | "$root") echo "macos-deps: $prefix would be replaced whole; choose a folder of its own" >&2; exit 1 ;; esac
archs="${ARCHS:-$(uname -m)}"
export MACOSX_DEPLOYMENT_TARGET="${MACOSX_DEPLOYMENT_TARGET:-14.0}"
work="$prefix.work"
jobs="$(sysctl -n hw.ncpu)"

boost_version=1.86.0
openssl_version=3.3.2
jpeg_version=3.0.4
spng_version=0.7.4
utf8proc_version=2.9.0
plist_version=2.6.0

sources=(
  "boost-$boost_version.tar.xz https://github.com/boostorg/boost/releases/download/boost-$boost_version/boost-$boost_version-cmake.tar.xz"
  "openssl-$openssl_version.tar.gz https://github.com/openssl/openssl/releases/download/openssl-$openssl_version/openssl-$openssl_version.tar.gz"
  "libjpeg-turbo-$jpeg_version.tar.gz https://github.com/libjpeg-turbo/libjpeg-turbo/releases/download/$jpeg_version/libjpeg-turbo-$jpeg_version.tar.gz"
  "libspng-$spng_version.tar.gz https://github.com/randy408/libspng/archive/refs/tags/v$spng_version.tar.gz"
  "utf8proc-$utf8proc_version.tar.gz https://github.com/JuliaStrings/utf8proc/archive/refs/tags/v$utf8proc_version.tar.gz"
  "libplist-$plist_version.tar.bz2 https://github.com/libimobiledevice/libplist/releases/download/$plist_version/libplist-$plist_version.tar.bz2"
)

for tool in cmake ninja curl lipo; do
  command -v "$tool" >/dev/null || { echo "macos-deps: $tool is needed" >&2; exit 1; }
done

# ---- Sources ------------------------------------------------------------------

mkdir -p "$work/downloads" "$work/src"
for entry in "${sources[@]}"; do
  file="${entry%% *}"
  url="${entry#* }"
  [ -f "$work/downloads/$file" ] || curl -fsSL --retry 3 -o "$work/downloads/$file" "$url"
done
if [ -f "$root/scripts/macos-deps.sha256" ]; then
  (cd "$work/downloads" && shasum -a 256 -c "$root/scripts/macos-deps.sha256")
else
  echo "macos-deps: no scripts/macos-deps.sha256; the downloads' sums are:"
  (cd "$work/downloads" && shasum -a 256 ./*)
fi

# One unpacked source folder per dependency, named after the archive.
unpack() {
  local file="$1" name="${1%.tar.*}"
  rm -rf "$work/src/$name"
  mkdir -p "$work/src/$name"
  tar -xf "$work/downloads/$file" -C "$work/src/$name" --strip-components 1
  echo "$work/src/$name"
}
boost_src="$(unpack "boost-$boost_version.tar.xz")"
openssl_src="$(unpack "openssl-$openssl_version.tar.gz")"
jpeg_src="$(unpack "libjpeg-turbo-$jpeg_version.tar.gz")"
spng_src="$(unpack "libspng-$spng_version.tar.gz")"
utf8proc_src="$(unpack "utf8proc-$utf8proc_version.tar.gz")"
plist_src="$(unpack "libplist-$plist_version.tar.bz2")"

# ---- One architecture -----------------------------------------------------------

# Installs everything for `arch` under $work/stage-$arch$prefix (DESTDIR), so
# that the installed files name the final prefix.
build_arch() {
  local arch="$1"
  local build="$work/build-$arch" stage="$work/stage-$arch"
  rm -rf "$build" "$stage"
  mkdir -p "$build"
  local cmake_common=(
    -G Ninja
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX="$prefix"
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_OSX_ARCHITECTURES="$arch"
    -DCMAKE_OSX_DEPLOYMENT_TARGET="$MACOSX_DEPLOYMENT_TARGET"
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_TESTING=OFF
  )
  cmake_install() {  # source folder, build folder name, options...
    local src="$1" dir="$build/$2"
    shift 2
    cmake -S "$src" -B "$dir" "${cmake_common[@]}" "$@"
    cmake --build "$dir" -j "$jobs"
    DESTDIR="$stage" cmake --install "$dir"
  }

  cmake_install "$boost_src" boost -DBOOST_INCLUDE_LIBRARIES=json
  cmake_install "$jpeg_src" jpeg -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON
  cmake_install "$spng_src" spng -DSPNG_SHARED=OFF -DSPNG_STATIC=ON -DBUILD_EXAMPLES=OFF
  cmake_install "$utf8proc_src" utf8proc -DUTF8PROC_ENABLE_TESTING=OFF

  mkdir -p "$build/openssl"
  (cd "$build/openssl" &&
    "$openssl_src/Configure" "darwin64-$arch-cc" no-shared no-tests --prefix="$prefix" --libdir=lib \
      "-mmacosx-version-min=$MACOSX_DEPLOYMENT_TARGET" &&
    make -j "$jobs" build_libs &&
    make install_dev DESTDIR="$stage")

  local host
  case "$arch" in
    arm64) host=aarch64-apple-darwin ;;
    x86_64) host=x86_64-apple-darwin ;;
    *) echo "macos-deps: unknown architecture $arch" >&2; exit 1 ;;
  esac
  mkdir -p "$build/plist"
  (cd "$build/plist" &&
    CC="clang -arch $arch" CXX="clang++ -arch $arch" \
      "$plist_src/configure" --host="$host" --prefix="$prefix" --disable-shared --enable-static \
      --without-cython --disable-dependency-tracking &&
    make -j "$jobs" &&
    make install DESTDIR="$stage")
}

for arch in $archs; do
  build_arch "$arch"
done

# ---- Merge ------------------------------------------------------------------------

# shellcheck disable=SC2086  # one word an architecture
set -- $archs
first="$work/stage-$1$prefix"
for arch in "$@"; do
  if ! diff -r "$first/include" "$work/stage-$arch$prefix/include" >/dev/null; then
    echo "macos-deps: the $1 and $arch headers differ; they cannot share one prefix:" >&2
    diff -r "$first/include" "$work/stage-$arch$prefix/include" >&2 || true
    exit 1
  fi
done
rm -rf "$prefix"
mkdir -p "$prefix"
cp -R "$first/." "$prefix/"
# Shared libraries would be chosen over the archives by some build tools: none is kept.
find "$prefix/lib" \( -name '*.dylib' -o -name '*.la' \) -delete
(cd "$first" && find lib -name '*.a') | while read -r archive; do
  parts=()
  for arch in "$@"; do parts+=("$work/stage-$arch$prefix/$archive"); done
  lipo -create "${parts[@]}" -output "$prefix/$archive"
done
echo "macos-deps: static dependencies for $archs in $prefix"
for archive in "$prefix"/lib/*.a; do
  echo "  $(basename "$archive"): $(lipo -archs "$archive")"
done
