#!/usr/bin/env bash
# Runs every fuzz target of BUILD for SECONDS each from the generated seeds
# and the kept reproducers (fuzz/corpus/<target>), and prints its rate.
# Fails when any target finds a crash, a leak, a hang or a broken property.
set -uo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 FUZZ_BUILD SECONDS" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
python3 "$here/make-seeds.py" "$build/seeds" || exit 1
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=()
for bin in "$build"/fuzz_*; do
    target=${bin##*/fuzz_}
    corpus=$build/corpus/$target
    mkdir -p "$corpus" "$build/artifacts"
    kept=()
    [ -d "$here/corpus/$target" ] && kept=("$here/corpus/$target")
    log=$build/$target.log
    "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$build/seeds/$target" "${kept[@]}" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz $target: ${runs:-0} runs, ${rate:-0} exec/s, exit $rc"
    if [ "$rc" -ne 0 ]; then
        failed+=("$target")
        grep -E 'ERROR|runtime error|property broken|Test unit written' "$log" | head -20
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in ${failed[*]} (logs in $build)" >&2
    exit 1
fi
