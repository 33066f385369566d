#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it from its own
# folder, where the icon lies and the report and input files are looked up.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${OSP_BUILD_DIR:-$root/build/release}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSP_BUILD_TESTS=OFF -DOSP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target orvana-speedtest

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: run this in a desktop session, or under a virtual display with: xvfb-run -a bash scripts/run.sh" >&2
    exit 1
fi

cd "$build/bin"
exec ./orvana-speedtest
