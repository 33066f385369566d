#!/usr/bin/env bash
# Builds orvana-speedtest.exe for 64-bit Windows and the Windows test
# programs with MinGW-w64 against the cached cross-built Qt
# (scripts/windows-qt.sh builds it the first time), then runs the tests
# under Wine, offscreen, against local services on loopback; among them
# CPack makes the installer (<build>/installer/) and its test installs it.
#   scripts/windows.sh             build (build/windows) and test
#   scripts/windows.sh --no-tests  build only
# The tool, its DLLs and plugins end up in <build>/bin.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${OSP_BUILD_DIR:-$root/build/windows}"
run_tests=1
if [ "${1:-}" = "--no-tests" ]; then
    run_tests=0
fi

bash "$root/scripts/install-deps.sh" \
    cmake ninja-build make g++ perl python3 dpkg-dev \
    g++-mingw-w64-x86-64-posix mingw-w64-tools \
    wine wine64 fonts-dejavu-core nsis xvfb xauth xdotool openssl

qt="$(bash "$root/scripts/windows-qt.sh" | tail -n 1)"
triple=x86_64-w64-mingw32
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_CXX_COMPILER="$triple-g++-posix" -DCMAKE_RC_COMPILER="$triple-windres" \
    -DCMAKE_FIND_ROOT_PATH="$qt;/usr/$triple" \
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
    -DCMAKE_PREFIX_PATH="$qt" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
    -DOSP_BUILD_BENCH=OFF -DOSP_BUILD_TESTS="$([ "$run_tests" = 1 ] && echo ON || echo OFF)" >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ "$run_tests" = 0 ]; then
    exit 0
fi

# The tests' own Wine prefix; no Mono or Gecko, which would be fetched from
# the internet, no menu entries on the host.
export WINEPREFIX="$build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wineserver --wait
fi
unset WINEDLLOVERRIDES
cd "$build"
ctest --output-on-failure --timeout 600 -j "${OSP_TEST_JOBS:-2}"
ls "$build"/installer/orvana-speedtest-*-setup.exe
