#!/usr/bin/env bash
# The tool's main job on the bundled sample: loads the sample pack's catalog and prints its
# element report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target brevlo-catalog >/dev/null
echo "== element report of examples/pack/marks/config.xml"
./build/release/brevlo-catalog index examples/pack/marks/config.xml --encoding utf-8
