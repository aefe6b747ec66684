// Targets, presets, bitstream filters and the video statistics file.
#include "engine/config/FFmpeg.h"

void TCustomFFmpeg::SetTarget(const std::string& ATarget, const std::string& ANorm, const std::string&) {
  throw FFmpegException("SetTarget is not available in this build: " + ANorm + "-" + ATarget);
}

void TCustomFFmpeg::ApplyPreset(const std::string& AKind, const std::string&) {
  throw FFmpegException("ApplyPreset is not available in this build: " + AKind);
}

void TCustomFFmpeg::SetBitstreamFilter(const std::string& AKind, const std::string&) {
  throw FFmpegException("SetBitstreamFilter is not available in this build: " + AKind);
}

void TCustomFFmpeg::SetVideoStatistics(bool) {
  throw FFmpegException("SetVideoStatistics is not available in this build");
}
