#!/bin/sh
# Prints the benchmark table of docs/PERFORMANCE.md: the seven profiles on a
# 1280x720 clip of N s and a 320x240 clip of 2N s (default N = 30), the raw
# MP4 loop (the engine's overhead over the codecs), peak memory per task,
# time to the first progress report and the batch of 8 files with
# --jobs 1 and 2. The arguments go to vidmill_bench (e.g. --seconds 10).
#
#   bench/run_table.sh [--seconds N] [--batch-files N] [--verbose]
#
# BUILD_DIR selects the build folder (default: build beside this script's
# folder). The machine's load is printed before and after: the figures are
# wall times, so other work on the machine slows them down.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
cmake --build "$build" -j2 --target vidmill_bench vidmill-cli >/dev/null
echo "machine: $(nproc) processors, $(uname -sr)"
echo "load before: $(uptime)"
status=0
"$build/bin/vidmill_bench" --table "$@" || status=$?
echo
echo "load after: $(uptime)"
exit $status
