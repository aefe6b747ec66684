#!/usr/bin/env bash
# The product loads the media libraries at run time: no executable or
# shared object of the product may name them in its dynamic section, and no
# static library of the product may call into them directly.
#   nolink_check.sh --dynamic FILE... --static LIB.a...
set -u
forbidden_needed='lib(av(codec|device|filter|format|util)|sw(scale|resample)|SDL|opencore-amrnb)'
forbidden_symbols='^(av_|avcodec_|avformat_|avfilter_|avio_|avsubtitle_|sws_|swr_|SDL_|Encoder_Interface_)'
mode=
status=0
checked=0
for arg in "$@"; do
  case "$arg" in
    --dynamic|--static) mode=$arg; continue ;;
  esac
  [[ -e "$arg" ]] || { echo "missing: $arg"; status=1; continue; }
  checked=$((checked + 1))
  if [[ $mode == --dynamic ]]; then
    needed=$(readelf -d "$arg" | grep NEEDED | grep -E "$forbidden_needed")
    if [[ -n "$needed" ]]; then
      echo "$arg links a media library:"; echo "$needed"; status=1
    fi
  else
    symbols=$(nm -u --format=posix "$arg" 2>/dev/null | awk '{print $1}' | grep -E "$forbidden_symbols" | sort -u)
    if [[ -n "$symbols" ]]; then
      echo "$arg calls media library functions directly:"; echo "$symbols"; status=1
    fi
  fi
done
[[ $checked -gt 0 ]] || { echo "nothing checked"; status=1; }
[[ $status -eq 0 ]] && echo "checked $checked files: no media library linked"
exit $status
