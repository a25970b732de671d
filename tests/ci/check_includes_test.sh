#!/usr/bin/env bash
# scripts/check_includes.sh against small made-up trees: a clean tree passes,
# an upward include fails naming the file, line and layers, an include of a
# folder that is no layer and a folder that is no layer fail, and an
# allow-listed pair passes while the same include elsewhere still fails.
# Usage: check_includes_test.sh <scripts/check_includes.sh>
set -euo pipefail
script=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/check-includes-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A tree with one file per layer, each including its own layer, lower layers,
# a public header and a system header.
clean_tree() {
  local dir=$1
  mkdir -p "$dir/src/collections" "$dir/src/serial" "$dir/src/busobj" "$dir/src/runtime" \
    "$dir/src/bridge"
  printf '#include <cstddef>\n#include "collections/a.hpp"\n' >"$dir/src/collections/a.cpp"
  printf '#pragma once\n' >"$dir/src/collections/a.hpp"
  printf '#include "collections/a.hpp"\n#include "serial/s.hpp"\n' >"$dir/src/serial/s.cpp"
  printf '#include "serial/s.hpp"\n#include "hbconnector/connector.hpp"\n' >"$dir/src/busobj/b.cpp"
  printf '#include "busobj/b.hpp"\n#include "collections/a.hpp"\n' >"$dir/src/runtime/r.cpp"
  printf '#include <jni.h>\n#include "runtime/r.hpp"\n  #  include "bridge/j.hpp"\n' \
    >"$dir/src/bridge/j.cpp"
}

# run <tree>: the script's output in $out and its exit status in $status.
run() {
  status=0
  out=$("$script" "$1" 2>&1) || status=$?
}

clean_tree "$work/clean"
run "$work/clean"
[[ $status -eq 0 ]] || fail "a clean tree fails: $out"

# An upward include: busobj reaching into the bridge, on its third line.
clean_tree "$work/up"
printf '// business objects\n#include "busobj/b.hpp"\n#include "bridge/upcalls.hpp"\n' \
  >"$work/up/src/busobj/b.hpp"
run "$work/up"
[[ $status -eq 1 ]] || fail "an upward include passes (status $status): $out"
grep -q 'src/busobj/b.hpp:3: includes "bridge/upcalls.hpp": bridge is above busobj' <<<"$out" ||
  fail "the upward include is not named: $out"
[[ $(grep -c 'is above' <<<"$out") -eq 1 ]] || fail "downward includes reported too: $out"

# The base layer including the runtime, written with spaces after '#'.
clean_tree "$work/base"
printf '# include "runtime/r.hpp"\n' >"$work/base/src/collections/c.cpp"
run "$work/base"
[[ $status -eq 1 ]] || fail "collections including runtime passes: $out"

# Includes of folders that are no layer, and files in a folder that is none.
clean_tree "$work/stray"
printf '#include "utils/u.hpp"\n' >"$work/stray/src/runtime/s.cpp"
mkdir -p "$work/stray/src/utils"
printf '#include "collections/a.hpp"\n' >"$work/stray/src/utils/u.hpp"
run "$work/stray"
[[ $status -eq 1 ]] || fail "a stray folder passes: $out"
grep -q 'src/runtime/s.cpp:1: includes "utils/u.hpp", which is in no layer' <<<"$out" ||
  fail "the include of a stray folder is not named: $out"
grep -q 'src/utils/u.hpp: src/utils is not a layer' <<<"$out" ||
  fail "the stray folder is not named: $out"

# The allow-list accepts exactly the listed pair.
clean_tree "$work/allowed"
mkdir -p "$work/allowed/scripts"
printf '#include "busobj/b.hpp"\n' >"$work/allowed/src/serial/listed.cpp"
printf '#include "busobj/b.hpp"\n' >"$work/allowed/src/serial/unlisted.cpp"
printf '# moves soon\nsrc/serial/listed.cpp busobj/b.hpp  # with a comment\n' \
  >"$work/allowed/scripts/include_allowlist.txt"
run "$work/allowed"
[[ $status -eq 1 ]] || fail "an unlisted upward include passes with an allow-list: $out"
grep -q 'src/serial/unlisted.cpp:1:' <<<"$out" || fail "the unlisted include is not named: $out"
grep -q 'listed.cpp:1:' <<<"$(grep -v unlisted <<<"$out")" && fail "the listed include is reported: $out"
rm "$work/allowed/src/serial/unlisted.cpp"
run "$work/allowed"
[[ $status -eq 0 ]] || fail "an allow-listed include fails: $out"

# No src/ at all is a usage error, not a pass.
run "$work/nothing-here"
[[ $status -eq 2 ]] || fail "a missing src/ gives status $status"

echo "check_includes_test: all cases passed"
