#!/usr/bin/env bash
# Fails when a library source includes a header of a higher layer.
#
# The layers of src/, lowest first:
#   collections < serial < busobj < runtime < bridge
# A file under src/<layer>/ may include "<other>/x.hpp" only when <other> is
# its own layer or a lower one. Public headers ("hbconnector/...") and system
# headers may be included anywhere. A folder under src/ that is not a layer is
# an error too, so a new folder must be placed in the order here first.
#
# Usage: check_includes.sh [ROOT] — ROOT defaults to the repository; it holds
# src/ and, optionally, scripts/include_allowlist.txt: lines
# "<file relative to ROOT> <included path>" that are accepted for now (# starts
# a comment). Prints one line per upward include and exits 1 when there is any.
set -euo pipefail

root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
layers=(collections serial busobj runtime bridge)
allowlist="$root/scripts/include_allowlist.txt"

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [[ ${layers[$i]} == "$1" ]]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

allowed() {
  [[ -f $allowlist ]] || return 1
  sed 's/#.*//' "$allowlist" | awk -v f="$1" -v h="$2" '$1 == f && $2 == h { found = 1 } END { exit !found }'
}

if [[ ! -d $root/src ]]; then
  echo "check_includes: no src/ folder under $root" >&2
  exit 2
fi

failures=0
while IFS= read -r -d '' file; do
  relative=${file#"$root"/}
  own=${relative#src/}
  own=${own%%/*}
  own_rank=$(rank "$own")
  if ((own_rank < 0)); then
    echo "$relative: src/$own is not a layer (${layers[*]})"
    failures=$((failures + 1))
    continue
  fi
  while IFS=: read -r line included; do
    folder=${included%%/*}
    [[ $folder == "$included" || $folder == hbconnector ]] && continue
    included_rank=$(rank "$folder")
    if ((included_rank < 0)); then
      echo "$relative:$line: includes \"$included\", which is in no layer"
      failures=$((failures + 1))
    elif ((included_rank > own_rank)) && ! allowed "$relative" "$included"; then
      echo "$relative:$line: includes \"$included\": $folder is above $own"
      failures=$((failures + 1))
    fi
  done < <(awk '/^[ \t]*#[ \t]*include[ \t]*"/ {
      split($0, parts, "\""); print FNR ":" parts[2] }' "$file")
done < <(find "$root/src" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | sort -z)

if ((failures > 0)); then
  echo "check_includes: $failures include(s) point up or out of the layers" >&2
  exit 1
fi
echo "check_includes: every include under $root/src points down"
