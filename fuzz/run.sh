#!/bin/sh
# Runs every fuzzer for the given number of seconds each, from its seed corpus
# in the tree, and fails on the first finding. New inputs go to a scratch
# corpus under build/, never into the tree; a crash leaves its input in
# build/fuzz/findings/ to be added to the seed corpus as a regression case.
set -eu
build="$1"
seconds="${2:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
findings="$build/findings"
mkdir -p "$findings"
for target in fuzz_text fuzz_xml fuzz_host fuzz_link; do
    work="$build/corpus-work/$target"
    mkdir -p "$work"
    echo "== $target: ${seconds}s"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/$target-" -print_final_stats=1 \
        "$work" "$root/fuzz/corpus/$target" 2>&1 | grep -E "^(stat::number_of_executed_units|stat::peak_rss|==|SUMMARY|INFO: Running|Done)" || true
    if ls "$findings/$target-"* >/dev/null 2>&1; then
        echo "$target found a fault; the input is in $findings"
        exit 1
    fi
done
