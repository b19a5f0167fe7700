#!/usr/bin/env bash
# Runs every benchmark beside its peers in one run (Release build) and prints the table of our
# figures, the peers' figures and the ratios. Options:
#   --repetitions N   runs of each benchmark; the best is taken (default 3)
#   --quick           1 repetition, a copy tree of 2,000 files / 20 MB, and the whole import
#                     of 2,000 and 500 files (no goals: Wine's start-up outweighs them)
# Environment: BREVLO_BENCH_DIR (generated catalogs, default /dev/shm/brevlo-bench),
# BREVLO_BENCH_COPY_DIR (the copy tree, on the disk), BREVLO_BENCH_COPY_FILES (20000) and
# BREVLO_BENCH_COPY_MB (200); BREVLO_BENCH_WINE_FILES (the packs of the whole import, "20000,5000";
# "none" leaves it out) and BREVLO_BENCH_WINE_DIR (its prefix and packs, on the disk, default
# build/bench/wine-import).
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=3
while (($#)); do
    case "$1" in
        --repetitions) repetitions="$2"; shift 2 ;;
        --quick) repetitions=1; export BREVLO_BENCH_COPY_FILES=2000 BREVLO_BENCH_COPY_MB=20
                 export BREVLO_BENCH_WINE_FILES="${BREVLO_BENCH_WINE_FILES:-2000,500}"; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
bash scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench --target xml_bench import_bench brevlo-gen-catalog brevlo >/dev/null
wine_files="${BREVLO_BENCH_WINE_FILES:-20000,5000}"
if [ "$wine_files" != none ]; then
    # The Windows build and the product's stand-in (its version record) for the whole import.
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target brevlo mirvo_stub >/dev/null
fi

results=build/bench/results
mkdir -p "$results"
export BREVLO_BENCH_COPY_DIR="${BREVLO_BENCH_COPY_DIR:-$PWD/build/bench/copy-tree}"
# A 200 MB tree is copied twice per repetition; fall back to a tenth when the disk is short.
if (( $(df -Pm "$(dirname "$BREVLO_BENCH_COPY_DIR")" | awk 'NR==2 {print $4}') < 2000 )); then
    export BREVLO_BENCH_COPY_FILES="${BREVLO_BENCH_COPY_FILES:-2000}" BREVLO_BENCH_COPY_MB="${BREVLO_BENCH_COPY_MB:-20}"
fi
# Catalogs are read in code page 936, as on a Chinese system.
export LC_ALL=zh_CN.UTF-8
reports=()
# The whole import first: the copy benchmarks delete trees of 20,000 files, and on ext4 without
# a journal every file created in the minutes after that is slowed by the freed inodes.
if [ "$wine_files" != none ]; then
    echo "== wine_import" >&2
    python3 bench/wine_import.py --exe build/windows/app/brevlo.exe \
        --stub build/windows/tests/e2e/stub/mirvo.exe --native build/bench/app/brevlo \
        --work "${BREVLO_BENCH_WINE_DIR:-build/bench/wine-import}" --files "$wine_files" \
        --repetitions "$repetitions" --out "$results/wine_import.json"
    reports+=("$results/wine_import.json")
fi
for bench in xml_bench import_bench; do
    echo "== $bench" >&2
    "./build/bench/bench/$bench" --benchmark_repetitions="$repetitions" \
        --benchmark_format=json --benchmark_out="$results/$bench.json" \
        --benchmark_out_format=json >/dev/null
    reports+=("$results/$bench.json")
done
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
python3 bench/report.py "${reports[@]}"
