#!/usr/bin/env bash
# Runs the benchmarks beside their peers (Release build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench
LC_ALL=zh_CN.UTF-8 ./build/bench/bench/xml_bench "$@"
