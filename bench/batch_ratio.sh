#!/bin/bash
# Times the batch of FILES links to one 320x240 60 s clip (H.264 + AAC in
# MP4, as the table's batch) through vidmill-cli with --jobs 1 and --jobs 2,
# ROUNDS times in turn, and prints per run the wall time, the CLI's CPU
# time and the whole machine's busy and idle time (from /proc/stat) over
# the run. The busy time shows whether other work shared the cores: on an
# idle machine it equals the CLI's CPU time.
#
#   bench/batch_ratio.sh [ROUNDS [FILES]]     (default 3 rounds of 8 files)
#
# BUILD_DIR selects the build folder (default: build beside bench/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
rounds=${1:-3}
files=${2:-8}
cmake --build "$build" -j2 --target vidmill-cli vidmill-mkmedia >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-batch-XXXXXX")
trap 'rm -rf "$work"' EXIT
clip=$build/test-media/batch-320x240-60s.mp4
if [[ ! -f $clip ]]; then
  mkdir -p "$(dirname "$clip")"
  "$build/bin/vidmill-mkmedia" --container mp4 --size 320x240 --rate 25 --duration 60 --vb 500000 --ab 128000 \
    "$clip.part.mp4" >/dev/null
  mv "$clip.part.mp4" "$clip"
fi
mkdir "$work/src"
for ((i = 1; i <= files; ++i)); do ln -s "$clip" "$work/src/f$i.mp4"; done
ticks=$(getconf CLK_TCK)
busy_idle() { awk '/^cpu /{print $2+$3+$4+$7+$8+$9, $5+$6}' /proc/stat; }
echo "machine: $(nproc) processors; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A walls
for ((round = 1; round <= rounds; ++round)); do
  for jobs in 1 2; do
    rm -rf "$work/out"
    mkdir "$work/out"
    read -r busy0 idle0 < <(busy_idle)
    start=$(date +%s.%N)
    /usr/bin/time -f "%U %S" -o "$work/time" "$build/bin/vidmill-cli" --format mp4 --out "$work/out" \
      --jobs "$jobs" "$work"/src/* >/dev/null 2>&1
    end=$(date +%s.%N)
    read -r busy1 idle1 < <(busy_idle)
    read -r user sys < "$work/time"
    wall=$(echo "$end - $start" | bc)
    walls[$jobs]+="$wall "
    printf 'round %d --jobs %d  wall %6.2f s  CLI CPU %6.2f s  machine busy %6.2f s, idle %6.2f s\n' \
      "$round" "$jobs" "$wall" "$(echo "$user + $sys" | bc)" \
      "$(echo "($busy1 - $busy0) / $ticks" | bc -l)" "$(echo "($idle1 - $idle0) / $ticks" | bc -l)"
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
m1=$(echo "${walls[1]}" | median)
m2=$(echo "${walls[2]}" | median)
printf 'median wall: --jobs 1 %.2f s, --jobs 2 %.2f s, ratio %.2f\n' "$m1" "$m2" "$(echo "$m1 / $m2" | bc -l)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
