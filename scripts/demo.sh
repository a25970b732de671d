#!/usr/bin/env bash
# The main job: build the library and run the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target hb_token_demo
build/default/examples/token_demo/hb_token_demo
