#!/usr/bin/env bash
# The service benchmark (not part of the test suite): builds what it needs in
# the default preset (the agent, the installed package and the SQLite sample),
# compiles the driver and prints the table. Arguments: [SECONDS [CLIENTS]],
# or "scale [SECONDS [CLIENTS]]": 1, 2 and 3 agents on one broker in its own
# process next to the echo floor, with each process's CPU time per request.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset default > /dev/null
cmake --build --preset default --target hb_agent > /dev/null
ctest --preset default -R 'package\.install|package\.sqlite_connector_build' > /dev/null

build=build/default
out=$build/service-bench
mkdir -p "$out"
jars=$(for j in activemq-client activemq-broker activemq-kahadb-store activemq-protobuf activemq-openwire-legacy \
                geronimo-jms_1.1_spec geronimo-j2ee-management-1.1-spec hawtbuf slf4j-api slf4j-nop; do
         printf '/usr/share/java/%s.jar:' "$j"
       done)
javac -Xlint:all -Werror -cp "$jars" -d "$out" benchmarks/service/ServiceBench.java
# The unchanged connector, built against the installed package as a connector author would.
export PKG_CONFIG_PATH="$build/test-install/lib/pkgconfig"
g++ -std=c++20 -O2 -shared -fPIC -Wall -Wextra -Werror benchmarks/service/unchanged_connector.cpp \
  -o "$out/libunchanged_connector.so" $(pkg-config --cflags --libs hbconnector)
echo "load before: $(uptime)" >&2
if [ "${1:-}" = scale ]; then
  shift
  java -cp "$out:$jars" hbbench.ServiceBench scale "$build/test-install/bin/hbagent" \
    "$out/libunchanged_connector.so" examples/sqlite_connector/demo.properties "$@"
else
  java -cp "$out:$jars" hbbench.ServiceBench "$build/test-install/bin/hbagent" \
    "$build/test-sqlite-connector/libhb_sqlite_connector.so" "$out/libunchanged_connector.so" \
    examples/sqlite_connector/demo.properties "$@"
fi
echo "load after: $(uptime)" >&2
