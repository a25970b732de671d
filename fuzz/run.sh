#!/usr/bin/env bash
# Fuzzes every target for SECONDS seconds (default 300), one after the other,
# from the committed seeds and the corpus grown by earlier runs, and prints a
# table: target, executions, seconds, crashes. Any crash, sanitizer report or
# broken round trip stops that target, leaves its input under
# build/fuzz/artifacts/<target>/ and makes the script exit 1.
#
# Usage: fuzz/run.sh [SECONDS [TARGET...]]   (builds the fuzz preset first;
# without targets, all of them)
set -u
seconds=${1:-300}
shift || true
cd "$(dirname "$0")/.."

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 >/dev/null || {
  echo "building the fuzz preset failed" >&2
  exit 2
}

targets=(busobj_delimited busobj_prefixed transaction spec_record busobjandspec return_status
         version_section)
if (($# > 0)); then targets=("$@"); fi
build=build/fuzz/fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
rows=()
for target in "${targets[@]}"; do
  grown="$build/corpus/$target"
  artifacts="build/fuzz/artifacts/$target"
  log="build/fuzz/logs/$target.log"
  mkdir -p "$grown" "$artifacts" "$(dirname "$log")"
  start=$(date +%s)
  "$build/hb_fuzz_$target" -max_total_time="$seconds" -dict=fuzz/hbconnector.dict \
    -max_len=16384 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$grown" "fuzz/corpus/$target" >"$log" 2>&1
  code=$?
  elapsed=$(($(date +%s) - start))
  executions=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' "$log" | tail -1)
  crashes=0
  if ((code != 0)); then
    crashes=1
    status=1
    echo "$target: exit status $code, see $log" >&2
  fi
  rows+=("$(printf '%-18s %12s %8s %8s' "$target" "${executions:-?}" "$elapsed" "$crashes")")
done

printf '%-18s %12s %8s %8s\n' target executions seconds crashes
printf '%s\n' "${rows[@]}"
exit $status
