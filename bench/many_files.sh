#!/bin/bash
# Converts FILES copies of one tiny clip (64x48, 0.2 s, MPEG-4 + MP3 in AVI)
# to 3GP through vidmill-cli with --jobs 2 under a limit of 1024 open files,
# as a user's folder of thousands of short clips. Prints, for BASE files and
# for FILES files: the wall time; the planning time (from the start to the
# first output published in the folder: the queue reserves its names with
# hidden temporary files, and the first output is published once every
# source is planned); the peak resident memory; the most open descriptors
# seen; and how many outputs were written. A waiting file must cost neither a
# descriptor nor an engine: the descriptors stay flat and the memory grows
# only by a small record per file.
#
#   bench/many_files.sh [FILES [BASE]]     (default 10000 files against 100)
#
# BUILD_DIR selects the build folder (default: build beside bench/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
files=${1:-10000}
base=${2:-100}
cmake --build "$build" -j2 --target vidmill-cli vidmill-mkmedia >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-many-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bin/vidmill-mkmedia" --container avi --size 64x48 --rate 25 --duration 0.2 "$work/tiny.avi" >/dev/null

run() {
  local count=$1
  rm -rf "$work/src" "$work/out"
  mkdir "$work/src" "$work/out"
  for ((i = 1; i <= count; ++i)); do cp "$work/tiny.avi" "$work/src/s$i.avi"; done
  local start first=""
  start=$(date +%s.%N)
  (ulimit -n 1024 && exec /usr/bin/time -f "%M" -o "$work/rss" "$build/bin/vidmill-cli" --format 3gp \
     --out "$work/out" --jobs 2 "$work"/src/* >/dev/null 2>"$work/err") &
  local runner=$! cli="" fds=0 most=0
  while kill -0 "$runner" 2>/dev/null; do
    [[ -z $cli ]] && cli=$(pgrep -n -f "vidmill-cli --format 3gp --out $work/out" || true)
    if [[ -n $cli ]]; then
      fds=$(ls "/proc/$cli/fd" 2>/dev/null | wc -l || echo 0)
      ((fds > most)) && most=$fds
    fi
    if [[ -z $first ]] && [[ -n $(ls "$work/out" 2>/dev/null | head -1) ]]; then first=$(date +%s.%N); fi
    sleep 0.05
  done
  local status=0
  wait "$runner" || status=$?
  local end written
  end=$(date +%s.%N)
  written=$(find "$work/out" -name '*.3gp' -size +0 | wc -l)
  printf '%6d files: wall %7.2f s  planning %6.2f s  peak RSS %7.1f MB  open files <= %3d  written %d (exit %d)\n' \
    "$count" "$(echo "$end - $start" | bc)" "$(echo "${first:-$end} - $start" | bc)" \
    "$(echo "$(cat "$work/rss") / 1024" | bc -l)" "$most" "$written" "$status"
}

echo "machine: $(nproc) processors; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run "$base"
run "$files"
