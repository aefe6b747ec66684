// Creating the outputs of an engine instance and their streams.
#include "engine/config/FFmpeg.h"

int TCustomFFmpeg::OpenOutputFile(const std::u16string&, bool) {
  FLastError = "Output files cannot be created in this build";
  return -1;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext*) {
  throw FFmpegException("NewVideoStream is not available in this build");
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext*) {
  throw FFmpegException("NewAudioStream is not available in this build");
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext*) {
  throw FFmpegException("NewSubtitleStream is not available in this build");
}

int TCustomFFmpeg::ConfigureFilters(TInputStreamState&, TOutputStreamState&) { return -1; }
