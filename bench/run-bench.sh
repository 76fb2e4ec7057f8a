#!/usr/bin/env bash
# Builds the bench preset and compares our configuration reader with SimpleIni on 1 MB and
# 10 MB of generated INI text. Prints both speeds and their ratio; the goal is a ratio of at
# least 1.5. Figures only: a missed goal is reported, never an error.
#   KVN_BENCH_BUILD_DIR  build folder (default build/bench beside the sources)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KVN_BENCH_BUILD_DIR:-$here/build/bench}
case $build in /*) ;; *) build=$PWD/$build ;; esac

cd "$here"
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" -j2 --target config_file_bench

json=$build/config_file_bench.json
"$build/bench/config_file_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$json" --benchmark_out_format=json

python3 - "$json" <<'PY'
import json, sys

results = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") != "median" or "error_occurred" in b:
        continue
    reader, rest = b["run_name"].split("/", 1)
    size = rest.split("/")[-1]
    results[(reader, size)] = b["bytes_per_second"] / 1e6

print()
print("Configuration reader, median of 3 (MB = 10^6 bytes)")
print(f"{'text':>6}  {'Kelvarn MB/s':>13}  {'SimpleIni MB/s':>15}  {'ratio':>6}")
worst = None
for size in ("1", "10"):
    ours, peer = results.get(("Kelvarn", size)), results.get(("SimpleIni", size))
    if ours is None or peer is None:
        print(f"{size + ' MB':>6}  missing result")
        continue
    ratio = ours / peer
    worst = ratio if worst is None else min(worst, ratio)
    print(f"{size + ' MB':>6}  {ours:13.1f}  {peer:15.1f}  {ratio:5.2f}x")
if worst is not None:
    verdict = "met" if worst >= 1.5 else "NOT met"
    print(f"goal ours/SimpleIni >= 1.5x: {verdict} (lowest ratio {worst:.2f}x)")
PY
