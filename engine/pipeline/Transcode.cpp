// The transcode run: set-up, the main loop and the end sequence.
#include "engine/config/FFmpeg.h"

void TCustomFFmpeg::Transcode() {
  throw FFmpegException("Transcoding is not available in this build");
}

void TCustomFFmpeg::CloseOpenedCodecs() {
  FOpenedEncoders.clear();
  FOpenedDecoders.clear();
}
