#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; build/fuzz) and runs each for a number of
# seconds on a copy of its seed corpus, so the committed corpus stays as it
# is. Fails when a target finds an input that breaks it; that input is kept
# under build/fuzz/fuzz-artifacts/ and belongs in the target's corpus once
# the fault is mended.
#   scripts/fuzz.sh [seconds] [target...]   default: 30 s, every target
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${OSP_BUILD_DIR:-$root/build/fuzz}"
all_targets=(configdocument serverlist servercache)

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds] [target...]; targets: ${all_targets[*]}" >&2
    exit 2
fi
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    targets=("${all_targets[@]}")
fi
for target in "${targets[@]}"; do
    if [ ! -d "$root/tests/fuzz/corpus/$target" ]; then
        echo "unknown fuzz target: $target (targets: ${all_targets[*]})" >&2
        exit 2
    fi
done

bash "$root/scripts/install-deps.sh"

# The compiler is fixed when a build directory is first configured.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOSP_FUZZ=ON -DOSP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target"
    cp -R "$root/tests/fuzz/corpus/$target/." "$work/$target/"
    dict=()
    if [ -f "$root/tests/fuzz/$target.dict" ]; then
        dict=("-dict=$root/tests/fuzz/$target.dict")
    fi
    suppressions=""
    if [ -f "$root/tests/fuzz/$target.lsan.supp" ]; then
        suppressions="suppressions=$root/tests/fuzz/$target.lsan.supp"
    fi
    log="$work/$target.log"
    status=0
    LSAN_OPTIONS="$suppressions" "$build/tests/fuzz/fuzz_$target" "$work/$target" ${dict[@]+"${dict[@]}"} \
        -max_total_time="$seconds" -max_len=65536 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" >"$log" 2>&1 || status=$?

    executions="$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)"
    if [ -z "$executions" ]; then
        executions="$(sed -n 's/^#\([0-9]*\)[[:space:]]*DONE.*/\1/p' "$log" | tail -n 1)"
    fi
    if [ "$status" -eq 0 ]; then
        echo "fuzz_$target: ${executions:-?} executions in $seconds s"
    else
        failed=1
        echo "fuzz_$target: FAILED (exit status $status) after ${executions:-?} executions"
        grep -E 'broken invariant|ERROR: |SUMMARY: |Test unit written to' "$log" || tail -n 40 "$log"
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "A fuzz target failed; the inputs are in $artifacts" >&2
    exit 1
fi
