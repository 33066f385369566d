#!/usr/bin/env bash
# Builds, once, the Qt that the Windows build links: Debian's own qtbase
# source cross-compiled with MinGW-w64 for 64-bit Windows, configured for
# only what the tool and its tests use. Kept in a cache folder outside the
# checkout, keyed by the source's Debian version, the compiler's version and
# the options, so a second call reuses it and any change of those rebuilds.
# Prints the Qt prefix on its last line.
set -euo pipefail

qt_version=5.15.8
cache="${OSP_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/orvana-speedtest}"
triple=x86_64-w64-mingw32
# The tool is built with the POSIX-threads variant (std::thread and the
# runtime DLLs it ships); Qt must come from the same compiler.
compiler="$triple-g++-posix"
options=(
    -opensource -confirm-license -release -optimize-size -strip
    -xplatform win32-g++ -device-option CROSS_COMPILE=$triple-
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-vulkan -no-direct2d -no-feature-tabletevent
    -no-feature-sql -no-feature-concurrent -no-feature-bearermanagement
    -no-feature-printer -no-feature-printdialog -no-feature-printpreviewwidget
    -no-feature-printpreviewdialog
    -schannel -no-openssl
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
# Debian's archive carries the source too, once deb-src entries name it;
# security fixes come from the security archive.
sources="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
list=/etc/apt/sources.list.d/orvana-debian-src.sources
if [ "$(cat "$list" 2>/dev/null)" != "$sources" ]; then
    $sudo tee "$list" >/dev/null <<<"$sources"
    $sudo apt-get update >&2
fi
# The newest Debian revision of that version: security fixes arrive as new
# revisions, and each one is a new cache entry.
src_version="$(apt-cache showsrc qtbase-opensource-src | sed -n "s/^Version: \($qt_version.*\)/\1/p" |
    sort -V | tail -n 1)"
compiler_version="$("$compiler" --version | head -n 1)"
tag="$(printf '%s\n' "$src_version" "$compiler_version" "${options[@]}" | sha1sum | cut -c1-10)"
prefix="$cache/qt-$qt_version-mingw64-$tag"

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

# dpkg-source makes the tree's folder before it has unpacked and patched it,
# so an interrupted unpack must never sit at the name that is taken as done.
src="$cache/src/qtbase-$src_version"
if [ ! -x "$src/configure" ]; then
    scratch="$cache/src/.unpack-$$"
    rm -rf "$scratch"
    mkdir -p "$scratch"
    (cd "$scratch" && apt-get source "qtbase-opensource-src=$src_version" >&2)
    unpacked="$(find "$scratch" -mindepth 1 -maxdepth 1 -type d -name "qtbase-opensource-src-*")"
    rm -rf "$src"
    mv "$unpacked" "$src"
    rm -rf "$scratch"
fi

# Qt's configure runs CROSS_COMPILE's g++; these links make that the same
# compiler as the tool's.
tools="$cache/mingw-bin"
mkdir -p "$tools"
ln -sf "$(command -v "$triple-gcc-posix")" "$tools/$triple-gcc"
ln -sf "$(command -v "$compiler")" "$tools/$triple-g++"
export PATH="$tools:$PATH"

# MinGW ships its import libraries in lower case; Qt's Secure Channel code
# links them by their Windows names. A library folder of our own maps them.
libs="$cache/mingw-libs"
mkdir -p "$libs"
mingw_lib=/usr/$triple/lib
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
