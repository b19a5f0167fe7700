#!/usr/bin/env bash
# Builds everything and runs every test: the native test build (sanitizers) and the Windows
# build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

status=0
cmake --preset test >/dev/null
cmake --build --preset test
# In a random order and with more jobs than cores, so that tests that share anything show it.
ctest --preset test --schedule-random -j4 || status=1

cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows || status=1

exit $status
