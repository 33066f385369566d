#!/usr/bin/env bash
# Builds, once, the Qt that the Windows build links: Debian's own qtbase
# source cross-compiled with MinGW-w64 for 64-bit Windows, configured for
# only what the tool and its tests use. Kept in a cache folder outside the
# checkout, named by version and options, so a second call reuses it.
# Prints the Qt prefix on its last line.
set -euo pipefail

qt_version=5.15.8
cache="${OSP_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/orvana-speedtest}"
options=(
    -opensource -confirm-license -release -optimize-size -strip
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-vulkan -no-feature-tabletevent
    -no-feature-sql -no-feature-concurrent
    -schannel -no-openssl
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz
)
tag="$(printf '%s\n' "${options[@]}" | sha1sum | cut -c1-10)"
prefix="$cache/qt-$qt_version-mingw64-$tag"

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
# Debian's archive carries the source too, once a deb-src entry names it.
if ! apt-cache showsrc qtbase-opensource-src 2>/dev/null | grep -q "^Version: $qt_version"; then
    $sudo tee /etc/apt/sources.list.d/orvana-debian-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $sudo apt-get update >&2
fi

src_parent="$cache/src"
mkdir -p "$src_parent"
src="$(find "$src_parent" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -n 1)"
if [ -z "$src" ]; then
    (cd "$src_parent" && apt-get source qtbase-opensource-src >&2)
    src="$(find "$src_parent" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -n 1)"
fi

# MinGW ships its import libraries in lower case; Qt's Secure Channel code
# links them by their Windows names. A library folder of our own maps them.
libs="$cache/mingw-libs"
mkdir -p "$libs"
mingw_lib=/usr/x86_64-w64-mingw32/lib
for name in Secur32 Crypt32 Ws2_32 Iphlpapi Dnsapi Advapi32 User32 Shell32 Ole32; do
    lower="$(tr '[:upper:]' '[:lower:]' <<<"$name")"
    if [ -f "$mingw_lib/lib$lower.a" ]; then
        ln -sf "$mingw_lib/lib$lower.a" "$libs/lib$name.a"
    fi
done

build="$cache/qt-build-$tag"
rm -rf "$build" "$prefix"
mkdir -p "$build"
cd "$build"
"$src/configure" -prefix "$prefix" "${options[@]}" -L "$libs" >&2
nice make -j "$(nproc)" >&2
make install >&2
touch "$prefix/.complete"
rm -rf "$build"
echo "$prefix"
