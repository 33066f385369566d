#!/usr/bin/env bash
# Installs what is missing, builds the tool (Release, no tests) and makes its
# Debian package (build/package); prints the package's path.
#   sudo apt-get install ./<package>.deb    installs it
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${OSP_BUILD_DIR:-$root/build/package}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSP_BUILD_TESTS=OFF -DOSP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
