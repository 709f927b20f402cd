#!/usr/bin/env bash
# Runs two builds of capture_bench case by case, one right after the other,
# so that both meet the same machine load; writes before.json and after.json
# (medians of REPETITIONS, default 5, each of at least MIN_TIME seconds,
# default 0.3) into OUT.
#
#   benchmarks/interleave.sh BEFORE_BENCH AFTER_BENCH OUT
set -euo pipefail
(($# == 3)) || { echo "usage: $0 BEFORE_BENCH AFTER_BENCH OUT" >&2; exit 2; }
before=$1 after=$2 out=$3
repetitions=${REPETITIONS:-5}
min_time=${MIN_TIME:-0.3}
mkdir -p "$out/runs"
i=0
for name in $("$after" --benchmark_list_tests); do
  i=$((i + 1))
  for side in before after; do
    bench=$before
    [ "$side" = after ] && bench=$after
    "$bench" --benchmark_filter="^$name\$" --benchmark_repetitions="$repetitions" \
      --benchmark_report_aggregates_only=true --benchmark_min_time="$min_time" \
      --benchmark_out="$out/runs/$side.$i.json" --benchmark_out_format=json \
      >/dev/null 2>>"$out/runs/log.txt"
  done
done
python3 - "$out" "$i" <<'EOF'
import json, sys
out, count = sys.argv[1], int(sys.argv[2])
for side in ("before", "after"):
    merged = None
    for i in range(1, count + 1):
        run = json.load(open(f"{out}/runs/{side}.{i}.json"))
        if merged is None:
            merged = run
        else:
            merged["benchmarks"] += run["benchmarks"]
    json.dump(merged, open(f"{out}/{side}.json", "w"), indent=1)
EOF
