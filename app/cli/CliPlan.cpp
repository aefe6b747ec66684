#include "app/cli/CliPlan.h"

#include <sstream>

namespace {

class TLines {
 public:
  explicit TLines(std::vector<std::string>& ALines) : FLines(ALines) {}
  void Text(const char* AName, const std::string& AValue, const std::string& AFresh) {
    if (AValue != AFresh) FLines.push_back(std::string(AName) + "=" + AValue);
  }
  template <typename T>
  void Number(const char* AName, T AValue, T AFresh) {
    if (AValue == AFresh) return;
    std::ostringstream text;
    text << AValue;
    FLines.push_back(std::string(AName) + "=" + text.str());
  }
  void Switch(const char* AName, bool AValue) {
    if (AValue) FLines.push_back(std::string(AName) + "=1");
  }

 private:
  std::vector<std::string>& FLines;
};

const char* TargetName(int ATarget) {
  static const char* const kTargets[] = {"", "vcd", "svcd", "dvd"};
  return ATarget >= 0 && ATarget <= 3 ? kTargets[ATarget] : "";
}

}  // namespace

std::vector<std::string> PlannedOptionLines(const TOutputOptions& AOptions) {
  const TOutputOptions fresh;
  const TOutputOptions& o = AOptions;
  std::vector<std::string> lines;
  TLines add(lines);
  add.Text("f", o.FileFormat, fresh.FileFormat);
  if (o.Target != 0) {
    static const char* const kNorms[] = {"auto", "pal", "ntsc"};
    const int norm = o.TargetNorm >= 0 && o.TargetNorm <= 2 ? o.TargetNorm : 0;
    lines.push_back(std::string("target=") + kNorms[norm] + "-" + TargetName(o.Target));
  }
  add.Text("vcodec", o.VideoCodec, fresh.VideoCodec);
  add.Switch("vn", o.VideoDisable);
  add.Text("s", o.FrameSize, fresh.FrameSize);
  add.Text("r", o.FrameRate, fresh.FrameRate);
  add.Text("aspect", o.FrameAspectRatio, fresh.FrameAspectRatio);
  add.Number("vb", o.VideoBitrate, fresh.VideoBitrate);
  add.Number("maxrate", o.VideoMaxRate, fresh.VideoMaxRate);
  add.Number("minrate", o.VideoMinRate, fresh.VideoMinRate);
  add.Number("bufsize", o.VideoBufSize, fresh.VideoBufSize);
  add.Number("gop", o.GroupPictureSize, fresh.GroupPictureSize);
  add.Text("vtag", o.VideoTag, fresh.VideoTag);
  add.Text("vfilters", o.VideoFilters, fresh.VideoFilters);
  add.Text("acodec", o.AudioCodec, fresh.AudioCodec);
  add.Switch("an", o.AudioDisable);
  add.Number("ac", o.AudioChannels, fresh.AudioChannels);
  add.Number("ar", o.AudioSampleRate, fresh.AudioSampleRate);
  add.Number("ab", o.AudioBitrate, fresh.AudioBitrate);
  add.Text("atag", o.AudioTag, fresh.AudioTag);
  add.Switch("sn", o.SubtitleDisable);
  add.Number("ss", o.StartTimeMs / 1000.0, fresh.StartTimeMs / 1000.0);  // seconds, as the engine reads them
  add.Number("t", o.RecordingTimeMs / 1000.0, fresh.RecordingTimeMs / 1000.0);
  std::istringstream extras(o.ExtraOptions);
  for (std::string line; std::getline(extras, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}
