#!/usr/bin/env bash
# .ci/install-deps against stand-in dpkg-query, apt-get, sudo and id: one
# line per step, no apt progress output, and a failing step's whole output
# shown. Usage: install_deps_test.sh <.ci/install-deps>
set -euo pipefail
script=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/install-deps-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/tmp"

# Every package is installed except ninja-build and clang.
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for last; do :; done
case "$last" in ninja-build|clang) exit 1 ;; esac
printf 'install ok installed'
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$CALLS"
i=0
while [ $i -lt 20 ]; do echo "Get:$i http://deb.example/ progress line $i"; i=$((i + 1)); done
case "$*" in
  *install*) if [ -n "${FAIL_INSTALL:-}" ]; then echo "E: Unable to locate package ninja-build" >&2; exit 100; fi ;;
esac
exit 0
FAKE
cat >"$work/bin/sudo" <<'FAKE'
#!/bin/sh
echo "sudo" >>"$CALLS"
exec "$@"
FAKE
printf '#!/bin/sh\necho 1000\n' >"$work/bin/id"
chmod +x "$work/bin/"*

fail() { echo "FAIL: $*"; exit 1; }
run() {
  code=0
  PATH="$work/bin:$PATH" TMPDIR="$work/tmp" CALLS="$work/calls" "$script" >"$work/out" 2>"$work/err" || code=$?
}

: >"$work/calls"
run
[ "$code" -eq 0 ] || fail "exit status $code: $(cat "$work/out" "$work/err")"
expected="install-deps: updating the package lists ... done
install-deps: installing ninja-build clang ... done"
[ "$(cat "$work/out")" = "$expected" ] || fail "output was: $(cat "$work/out")"
[ ! -s "$work/err" ] || fail "standard error was: $(cat "$work/err")"
grep -q "install -y -q --no-install-recommends ninja-build clang" "$work/calls" || fail "calls: $(cat "$work/calls")"
grep -q "^sudo$" "$work/calls" || fail "not run through sudo as a user"
[ -z "$(ls -A "$work/tmp")" ] || fail "the step log was left behind"

: >"$work/calls"
FAIL_INSTALL=1 run
[ "$code" -eq 100 ] || fail "a failing install exits $code, not 100"
[ "$(tail -n 1 "$work/out")" = "install-deps: installing ninja-build clang ... failed (exit status 100):" ] ||
  fail "output was: $(cat "$work/out")"
grep -q "^E: Unable to locate package ninja-build$" "$work/err" || fail "the failing step's output is not shown"
grep -q "progress line 19" "$work/err" || fail "the failing step's output is cut"
[ -z "$(ls -A "$work/tmp")" ] || fail "the step log was left behind"
echo "install-deps: one line per step, failing output shown"
