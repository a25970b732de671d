#!/usr/bin/env bash
# Runs the java command of a JNI test (load, soak, restart), keeps its output in LOG, and fails
# when the program failed, when -Xcheck:jni printed any warning or fatal
# error, or when the JVM took more than 5 seconds to exit after main ended
# (a native thread left attached keeps the JVM waiting at exit).
#
# Usage: run_load_test.sh LOG java-command...
# HB_LOAD_PRELOAD, when set, is preloaded into the java process only (the
# address sanitizer's runtime for a library built with it).
set -u
log=$1
shift
if [[ -n "${HB_LOAD_PRELOAD:-}" ]]; then
  set -- env "LD_PRELOAD=$HB_LOAD_PRELOAD" "$@"
fi
timeout --kill-after=10 840 "$@" >"$log" 2>&1
status=$?
ended=$(date +%s%3N)
cat "$log"

failed=0
warnings=$(grep -c -E 'WARNING in native method|WARNING: JNI local refs|FATAL ERROR' "$log")
echo "JNI warnings: $warnings"
if ((warnings != 0)); then failed=1; fi
if ((status != 0)); then
  echo "java exited with status $status"
  failed=1
fi
main_end=$(sed -n 's/^MAIN-END \([0-9]*\)$/\1/p' "$log")
if [[ -z "$main_end" ]]; then
  echo "main did not end"
  failed=1
else
  exit_ms=$((ended - main_end))
  echo "JVM exit after main: $exit_ms ms"
  if ((exit_ms > 5000)); then failed=1; fi
fi
if ! grep -q -E '^[A-Z]+ TEST PASSED$' "$log"; then failed=1; fi
if ((failed)); then
  echo "test: FAILED"
  exit 1
fi
echo "test: passed"
