#!/usr/bin/env bash
# Fuzzes every target, one after the other, from the committed seeds
# (fuzz/corpus/<target>), the committed grown corpus (fuzz/grown/<target>) and
# the corpus grown by earlier runs in the build tree, and prints a table:
# target, executions, seconds, cov: and ft: at the end, crashes. Any crash,
# sanitizer report or broken round trip stops that target, leaves its input
# under build/fuzz/artifacts/<target>/ and makes the script exit 1.
#
# Usage: fuzz/run.sh [--runs N | --goal N [--lane K/N]] [--merge] [SECONDS] [TARGET...]
#   SECONDS    fuzz each target this long (default 300); with --runs or
#              --goal, at most this long when given
#   --runs N   fuzz each target for N executions instead (a recorded campaign)
#   --goal N   a campaign of N executions per target run in several sittings:
#              each run is recorded in fuzz/campaign.tsv (date, target,
#              executions, seconds, cov, ft, crashes) and fuzzes only what the
#              target still lacks of N there; a target at N is skipped
#   --lane K/N with --goal, be lane K of N processes fuzzing the same targets
#              at once: this lane fuzzes 1/N of what a target still lacks,
#              keeps its own build-tree corpus and log (suffix .K), and the
#              lanes take turns to merge
#   --merge    afterwards, minimise what each target found into
#              fuzz/grown/<target> (-merge=1): only inputs that add coverage
#              beyond the seeds are kept, so CI replays them
# Interrupting a target's fuzzer with SIGINT ends its sitting early; the
# sitting is recorded and merged as usual. The fuzz preset is built first;
# without targets, all of them. Run it at low
# priority on a shared machine: nice -n 19 fuzz/run.sh ...
set -u
cd "$(dirname "$0")/.."

seconds=""
runs=""
goal=""
merge=0
lane=""
lanes=1
targets=()
while (($# > 0)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --goal) goal=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    --lane) lane=${2%/*}; lanes=${2#*/}; shift 2 ;;
    [0-9]*) seconds=$1; shift ;;
    *) targets+=("$1"); shift ;;
  esac
done
ledger=fuzz/campaign.tsv
if [[ -n "$goal" && ! -f "$ledger" ]]; then
  printf 'date\ttarget\texecutions\tseconds\tcov\tft\tcrashes\n' >"$ledger"
fi
# The executions the ledger records for a target.
recorded() {
  awk -F'\t' -v t="$1" 'NR > 1 && $2 == t { n += $3 } END { print n + 0 }' "$ledger"
}

# Lanes start together: one configures and builds while the others wait.
mkdir -p build
exec 9>build/.fuzz.lock
flock 9
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 >/dev/null || {
  echo "building the fuzz preset failed" >&2
  exit 2
}
flock -u 9

if ((${#targets[@]} == 0)); then
  targets=(busobj_delimited busobj_prefixed transaction spec_record busobjandspec return_status
           version_section)
fi
build=build/fuzz/fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
options=(-dict=fuzz/hbconnector.dict -max_len=16384 -timeout=10 -rss_limit_mb=2048)
limit=()
if [[ -n "$seconds" || (-z "$runs" && -z "$goal") ]]; then limit=(-max_total_time="${seconds:-300}"); fi
if [[ -n "$runs" ]]; then limit+=(-runs="$runs"); fi

# Minimises the corpora of target into fuzz/grown/<target>: the seeds go into
# the merge first, so that only inputs adding coverage beyond them are kept.
minimise() {
  local target=$1 grown=$2 merged
  merged=$(mktemp -d)
  cp "fuzz/corpus/$target/"* "$merged/"
  mkdir -p "fuzz/grown/$target"
  "$build/hb_fuzz_$target" -merge=1 "${options[@]}" "$merged" "fuzz/grown/$target" "$grown" \
    >>"build/fuzz/logs/$target.merge.log" 2>&1 || {
    rm -rf "$merged"
    return 1
  }
  for seed in "fuzz/corpus/$target/"*; do rm -f "$merged/$(basename "$seed")"; done
  rm -rf "fuzz/grown/$target"
  mv "$merged" "fuzz/grown/$target"
  chmod 755 "fuzz/grown/$target"
}

# minimise, one lane at a time: each merge replaces fuzz/grown/<target>.
minimiseInTurn() {
  flock 9 && minimise "$@"
  local code=$?
  flock -u 9
  return $code
}

status=0
rows=()
for target in "${targets[@]}"; do
  grown="$build/corpus/$target${lane:+.$lane}"
  artifacts="build/fuzz/artifacts/$target"
  log="build/fuzz/logs/$target${lane:+.$lane}.log"
  mkdir -p "$grown" "$artifacts" "$(dirname "$log")" "fuzz/grown/$target"
  runLimit=("${limit[@]}")
  if [[ -n "$goal" ]]; then
    left=$((goal - $(recorded "$target")))
    if ((left <= 0)); then
      echo "$target: $(recorded "$target") executions recorded, the goal is reached" >&2
      continue
    fi
    runLimit+=(-runs="$(((left + lanes - 1) / lanes))")
  fi
  start=$(date +%s)
  "$build/hb_fuzz_$target" "${runLimit[@]}" "${options[@]}" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$grown" "fuzz/grown/$target" "fuzz/corpus/$target" >"$log" 2>&1
  code=$?
  elapsed=$(($(date +%s) - start))
  executions=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  crashes=0
  if ((code == 72)) && grep -q 'libFuzzer: run interrupted' "$log"; then
    # Stopped with SIGINT (a sitting cut short): what ran is recorded and
    # kept like any other sitting's.
    code=0
  fi
  if ((code != 0)); then
    crashes=1
    status=1
    echo "$target: exit status $code, see $log" >&2
  elif ((merge)); then
    minimiseInTurn "$target" "$grown" || { echo "$target: merge failed" >&2; status=1; }
  fi
  if [[ -n "$goal" ]]; then
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%F)" "$target" "${executions:-0}" \
      "$elapsed" "${cov:-?}" "${ft:-?}" "$crashes" >>"$ledger"
  fi
  kept=$(find "fuzz/grown/$target" -type f | wc -l)
  rows+=("$(printf '%-18s %12s %8s %7s %7s %8s %6s' "$target" "${executions:-?}" "$elapsed" \
    "${cov:-?}" "${ft:-?}" "$crashes" "$kept")")
done

printf '%-18s %12s %8s %7s %7s %8s %6s\n' target executions seconds cov ft crashes grown
printf '%s\n' "${rows[@]}"
exit $status
