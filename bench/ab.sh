#!/bin/bash
# Two builds of vidmill-cli side by side on the source of bench/peers.sh
# (1280x720 25 fps H.264/AAC with a fine moving texture), into MP4 and DVD
# with the default thread budget, ROUNDS times in turn (A, B, A, B, ...).
# Prints the median CPU seconds of each build per format and the ratio
# B / A: a change of the engine that claims no slowdown shows a ratio within
# noise (1.00 +- 0.02).
#
#   bench/ab.sh BUILD_DIR_A BUILD_DIR_B [ROUNDS]     (default 5)
#
# SECONDS_OF_SOURCE sets the source's length (default 10); VIDMILL_ARGS adds
# arguments to every run (for example "--threads 1", whose CPU time varies
# less between runs). Run it on an idle machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
a=${1:?usage: bench/ab.sh BUILD_DIR_A BUILD_DIR_B [ROUNDS]}
b=${2:?usage: bench/ab.sh BUILD_DIR_A BUILD_DIR_B [ROUNDS]}
rounds=${3:-5}
seconds=${SECONDS_OF_SOURCE:-10}
for build in "$a" "$b"; do
  [[ -x $build/bin/vidmill-cli ]] || { echo "no $build/bin/vidmill-cli: build it first" >&2; exit 1; }
done

mkmedia=$here/build/bin/vidmill-mkmedia
[[ -x $mkmedia ]] || cmake --build "$here/build" -j2 --target vidmill-mkmedia >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-ab-XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/source-1280x720-${seconds}s-texture.mp4
"$mkmedia" --container mp4 --size 1280x720 --rate 25 --duration "$seconds" --texture --vb 4000000 --ab 128000 \
  "$src" >/dev/null

declare -A cpu
for ((r = 1; r <= rounds; ++r)); do
  for format in mp4 dvd; do
    for side in A B; do
      build=$a
      [[ $side == B ]] && build=$b
      out=$work/out-$side-$format-$r
      mkdir -p "$out"
      /usr/bin/time -f '%U %S' -o "$work/time" "$build/bin/vidmill-cli" --format "$format" --jobs 1 ${VIDMILL_ARGS:-} --out "$out" \
        "$src" >/dev/null 2>&1 || { echo "$side $format failed" >&2; exit 1; }
      read -r u s <"$work/time"
      cpu[$side-$format]+="$(echo "$u + $s" | bc) "
      rm -rf "$out"
    done
  done
  echo "round $r of $rounds done" >&2
done

median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for key in "${!cpu[@]}"; do echo "$key: ${cpu[$key]}" >&2; done
echo "| format | A CPU s | B CPU s | B / A |"
echo "| --- | --- | --- | --- |"
for format in mp4 dvd; do
  ma=$(median "${cpu[A-$format]}")
  mb=$(median "${cpu[B-$format]}")
  printf '| %s | %.2f | %.2f | %.3f |\n' "$format" "$ma" "$mb" "$(echo "scale=4; $mb / $ma" | bc)"
done
echo
echo "A: $a, B: $b; $rounds rounds of a ${seconds} s source, $(nproc) cores, load before: $(cut -d' ' -f1-3 /proc/loadavg)."
