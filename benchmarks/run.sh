#!/usr/bin/env bash
# Builds the benchmark preset, runs the native and the JVM benchmarks and
# prints one table of ratios (ours / peer, ours / floor). Not part of the
# test suite. Environment:
#   HB_BENCH_REPETITIONS  repetitions of each native benchmark (median kept; default 5)
#   HB_BENCH_MAX_CHILDREN largest child array of the tree operations (default 100000)
#   HB_BENCH_FILTER       a --benchmark_filter regular expression (default: all)
#   HB_BENCH_OUT          folder for the raw outputs (default build/bench/results)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench > /dev/null
cmake --build --preset bench -j2 > /dev/null

out="${HB_BENCH_OUT:-build/bench/results}"
mkdir -p "$out"
echo "load before: $(uptime)" >&2

build/bench/benchmarks/hb_native_bench \
  --benchmark_repetitions="${HB_BENCH_REPETITIONS:-5}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_filter="${HB_BENCH_FILTER:-.}" \
  --benchmark_min_time=0.2 \
  --benchmark_out="$out/native.json" --benchmark_out_format=json > "$out/native.txt"

jvm_results=()
if [ -x build/bench/benchmarks/run_jvm_bench.sh ]; then
  build/bench/benchmarks/run_jvm_bench.sh > "$out/jvm.txt"
  jvm_results=("$out/jvm.txt")
fi

echo "load after: $(uptime)" >&2
python3 benchmarks/report.py "$out/native.json" "${jvm_results[@]}"
