#!/usr/bin/env bash
# The main job: build HbConnector and install it into a local prefix, build
# the sample SQLite connector against the installed package (the way a
# connector author builds one), and run the demo scenario with the installed
# hbagent, which prints every step. Exits with hbagent's status.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/demo
prefix=$build/prefix
mkdir -p "$build"

step() {  # step <title> <log> <command...>: runs quietly, shows the log when it fails
  local title=$1 log=$2
  shift 2
  echo "== $title"
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "demo: $title failed (full log: $log)" >&2
    exit 2
  fi
}

step "Building HbConnector" "$build/hbconnector.log" bash -c "
  cmake -S '$root' -B '$build/hbconnector' -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DHB_BUILD_TESTS=OFF -DHB_BUILD_EXAMPLES=OFF -DCMAKE_INSTALL_PREFIX='$prefix' &&
  cmake --build '$build/hbconnector' --parallel 2"
step "Installing it into $prefix" "$build/install.log" cmake --install "$build/hbconnector"
step "Building the sample SQLite connector against the installed package" "$build/sqlite_connector.log" bash -c "
  cmake -S '$root/examples/sqlite_connector' -B '$build/sqlite_connector' -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH='$prefix' &&
  cmake --build '$build/sqlite_connector' --parallel 2"

echo "== Running examples/sqlite_connector/demo.scenario"
echo
exec "$prefix/bin/hbagent" --connector "$build/sqlite_connector/libhb_sqlite_connector.so" \
  "$root/examples/sqlite_connector/demo.scenario"
