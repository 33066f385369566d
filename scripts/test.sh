#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh             normal build (build/test)
#   scripts/test.sh --sanitize  AddressSanitizer, UndefinedBehaviorSanitizer
#                               and LeakSanitizer build (build/sanitize)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

mode="normal"
if [ "${1:-}" = "--sanitize" ]; then
    mode="sanitize"
fi

bash "$root/scripts/install-deps.sh"

if [ "$mode" = "sanitize" ]; then
    build="${OSP_BUILD_DIR:-$root/build/sanitize}"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSP_SANITIZE=ON -DOSP_BUILD_BENCH=OFF >/dev/null
else
    build="${OSP_BUILD_DIR:-$root/build/test}"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure --timeout 300 -j "${OSP_TEST_JOBS:-2}"
