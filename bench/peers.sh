#!/bin/bash
# Vidmill side by side with HandBrake and GStreamer on one file: a 30 s
# 1280x720 25 fps H.264/AAC source with a fine moving texture (costly to
# encode like camera footage) into MP4 (x264 preset medium, 600 kbit/s,
# AAC 128 kbit/s), and Vidmill alone into DVD (GStreamer 1.22 cannot build
# that pipeline with libavcodec's encoders: avenc_mpeg2video gets a time base
# of 1/1000000000, which the MPEG-2 encoder refuses as a frame rate), ROUNDS
# times in turn. Prints the median CPU and wall seconds and peak memory of
# each tool and the ratios, and writes the table into docs/PERFORMANCE.md
# between its "peers" markers.
#
#   bench/peers.sh [ROUNDS]     (default 3)
#
# Installs HandBrakeCLI and GStreamer from Debian's packages when they are
# missing (the test suite never needs them). Run it on an idle machine.
# BUILD_DIR selects the build folder (default: build beside bench/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
rounds=${1:-3}
seconds=${SECONDS_OF_SOURCE:-30}

packages=()
command -v HandBrakeCLI >/dev/null || packages+=(handbrake-cli)
command -v gst-launch-1.0 >/dev/null || packages+=(gstreamer1.0-tools)
for p in gstreamer1.0-libav gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || packages+=("$p")
done
if ((${#packages[@]})); then
  sudo=(); ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${packages[@]}" >/dev/null
fi

cmake --build "$build" -j2 --target vidmill-cli vidmill-mkmedia >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-peers-XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$build/test-media/peers-1280x720-${seconds}s-texture.mp4
if [[ ! -f $src ]]; then
  mkdir -p "$(dirname "$src")"
  "$build/bin/vidmill-mkmedia" --container mp4 --size 1280x720 --rate 25 --duration "$seconds" --texture \
    --vb 4000000 --ab 128000 "$src.part.mp4" >/dev/null
  mv "$src.part.mp4" "$src"
fi

gst_mp4() {
  gst-launch-1.0 -q filesrc location="$src" ! qtdemux name=d \
    d.video_0 ! queue max-size-buffers=0 max-size-time=0 max-size-bytes=0 ! h264parse ! avdec_h264 ! videoconvert ! \
    x264enc threads=1 speed-preset=medium bitrate=600 ! h264parse ! mp4mux name=m ! filesink location="$1" \
    d.audio_0 ! queue max-size-buffers=0 max-size-time=0 max-size-bytes=0 ! aacparse ! avdec_aac ! \
    audioconvert ! audioresample ! avenc_aac bitrate=128000 ! m.
}
hb_mp4() {
  HandBrakeCLI -i "$src" -o "$1" --format av_mp4 -e x264 --encoder-preset medium -b 600 --crop 0:0:0:0 \
    --width 1280 --height 720 -E av_aac -B 128 --mixdown stereo ${2:+-x threads=$2} >/dev/null 2>&1
}

# name|command (the output file is the last argument)
tools=(
  "vidmill-cli --jobs 1|vidmill mp4"
  "vidmill-cli --jobs 1 --threads 1|vidmill1 mp4"
  "HandBrakeCLI 1.6, x264 threads=1|hb1 mp4"
  "HandBrakeCLI 1.6, default threads|hb mp4"
  "gst-launch-1.0 (avdec_h264, x264enc threads=1, avenc_aac)|gst mp4"
  "vidmill-cli --format dvd --jobs 1|vidmill dvd"
  "vidmill-cli --format dvd --jobs 1 --threads 1|vidmill1 dvd"
)
run_tool() {  # KIND FORMAT OUT
  case $1 in
    vidmill) mkdir -p "$3.d" && "$build/bin/vidmill-cli" --format "$2" --jobs 1 --out "$3.d" "$src" >/dev/null 2>&1 ;;
    vidmill1) mkdir -p "$3.d" && "$build/bin/vidmill-cli" --format "$2" --jobs 1 --threads 1 --out "$3.d" "$src" \
      >/dev/null 2>&1 ;;
    hb1) hb_mp4 "$3.mp4" 1 ;;
    hb) hb_mp4 "$3.mp4" ;;
    gst) gst_mp4 "$3.mp4" ;;
  esac
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A cpu wall rss
for ((r = 1; r <= rounds; ++r)); do
  for i in "${!tools[@]}"; do
    IFS='|' read -r name what <<<"${tools[$i]}"
    read -r kind format <<<"$what"
    out=$work/r$r-t$i
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" bash -c "$(declare -f run_tool hb_mp4 gst_mp4);
      build='$build' src='$src' run_tool $kind $format '$out'" || { echo "$name failed" >&2; exit 1; }
    read -r e u s m <"$work/time"
    cpu[$i]+="$(echo "$u + $s" | bc) "
    wall[$i]+="$e "
    rss[$i]+="$m "
    printf 'round %d  %-58s wall %6.2f s  CPU %6.2f s  peak %4d MB\n' "$r" "$name" "$e" "$(echo "$u + $s" | bc)" \
      $((m / 1024)) >&2
  done
done

median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
table=$work/table.md
{
  echo "| tool | CPU s | wall s | peak memory |"
  echo "| --- | --- | --- | --- |"
  for i in "${!tools[@]}"; do
    IFS='|' read -r name _ <<<"${tools[$i]}"
    printf '| %s | %.1f | %.1f | %d MB |\n' "$name" "$(median "${cpu[$i]}")" "$(median "${wall[$i]}")" \
      $(($(median "${rss[$i]}") / 1024))
  done
  ratio() { echo "scale=2; $1 / $2" | bc; }
  echo
  echo "Ratios of the medians: Vidmill's MP4 wall time to HandBrake's with its default threads" \
    "$(ratio "$(median "${wall[0]}")" "$(median "${wall[3]}")"); its CPU time to HandBrake's single-thread run" \
    "$(ratio "$(median "${cpu[0]}")" "$(median "${cpu[2]}")") and to GStreamer's" \
    "$(ratio "$(median "${cpu[0]}")" "$(median "${cpu[4]}")"); one thread against the budget: wall" \
    "$(ratio "$(median "${wall[1]}")" "$(median "${wall[0]}")"); DVD, one thread against the budget: wall" \
    "$(ratio "$(median "${wall[6]}")" "$(median "${wall[5]}")")."
  echo
  echo "$rounds rounds, $(date -u +%Y-%m-%d), $(nproc) cores, load average before the run: $load."
} >"$table"
cat "$table"

doc=$here/docs/PERFORMANCE.md
if grep -q '<!-- peers:begin -->' "$doc"; then
  awk -v table="$table" '
    /<!-- peers:begin -->/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
    /<!-- peers:end -->/ { skip = 0 }
    !skip { print }' "$doc" >"$work/doc" && cp "$work/doc" "$doc"
  echo "written into $doc" >&2
fi
