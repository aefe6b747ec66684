#include "app/cli/CliOptions.h"

#include <charconv>

#include "runtime/Text.h"

namespace {

bool ParsePositive(const std::string& AText, int& AValue) {
  int value = 0;
  const char* end = AText.data() + AText.size();
  auto [ptr, ec] = std::from_chars(AText.data(), end, value);
  if (ec != std::errc() || ptr != end || value <= 0) return false;
  AValue = value;
  return true;
}

// The index of the item that AValue names in a list whose first item means
// "automatic"; 0 when none does.
template <size_t N>
int ItemIndex(const std::array<std::string_view, N>& AItems, const std::string& AValue) {
  for (size_t i = 1; i < N; ++i)
    if (AItems[i] == AValue) return static_cast<int>(i);
  return 0;
}

std::string Lower(std::string AText) {
  for (char& c : AText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return AText;
}

}  // namespace

std::string CliUsage() {
  return "Usage: vidmill-cli [--format 3gp|mp4|avi|vcd|dvd|flv|wmv] [--size WxH] [--channels 1|2]\n"
         "                   [--video-kbps N] [--audio-kbps N] [--rate 10|15|25|30] [--norm auto|pal|ntsc]\n"
         "                   [--out DIR | --same-dir] [--jobs N] [--threads N]\n"
         "                   [--extra NAME=VALUE]... FILE...\n"
         "       vidmill-cli --probe FILE\n"
         "Converts each FILE with the options the Vidmill window builds for the same choices.\n"
         "Outputs are never overwritten: each gets a new name ending in _(new) or _(new_N).\n"
         "Defaults: --format 3gp, outputs next to their sources, --jobs = the number of processors,\n"
         "          --threads = the processors shared among the files converting at once.\n"
         "Sizes: the window's frame-size items (128x96, 176x144, 352x288, 640x480, 1280x720, ...).\n"
         "Exit status: 0 when every file converted, 1 otherwise, 2 for a refused command line.\n";
}

namespace {

// One option that takes a value ("--name value" or "--name=value"): what
// it sets, or why the value is refused.
struct TValueOption {
  const char* Name;
  std::string (*Apply)(const std::string& AValue, TCliOptions& AOptions);
};

std::string ApplyFormat(const std::string& AValue, TCliOptions& AOptions) {
  const std::string key = "." + Lower(AValue);
  for (size_t t = 0; t < kOutputKeys.size(); ++t)
    if (kOutputKeys[t] == key) {
      AOptions.Choices.TabIndex = static_cast<int>(t);
      return {};
    }
  return "unknown format \"" + AValue + "\" (3gp, mp4, avi, vcd, dvd, flv or wmv)";
}

std::string ApplySize(const std::string& AValue, TCliOptions& AOptions) {
  for (size_t s = 1; s < kFrameSizeItems.size(); ++s)
    if (FrameSizeOfItem(std::string(kFrameSizeItems[s])) == AValue) {
      SelectFrameSize(AOptions.Choices, static_cast<int>(s));
      return {};
    }
  return "frame size " + AValue + " is not one of the window's sizes";
}

std::string ApplyChannels(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue != "1" && AValue != "2") return "channels must be 1 or 2";
  AOptions.Choices.ChannelsIndex = AValue == "1" ? 1 : 2;
  return {};
}

std::string ApplyVideoKbps(const std::string& AValue, TCliOptions& AOptions) {
  int kbps = 0;
  if (!ParsePositive(AValue, kbps)) return "--video-kbps must be a positive whole number of kbit/s";
  AOptions.Choices.VideoBitrateChecked = true;
  AOptions.Choices.VideoBitrateText = AValue;
  return {};
}

std::string ApplyAudioKbps(const std::string& AValue, TCliOptions& AOptions) {
  int kbps = 0;
  if (!ParsePositive(AValue, kbps)) return "--audio-kbps must be a positive whole number of kbit/s";
  AOptions.Choices.AudioBitrateChecked = true;
  AOptions.Choices.AudioBitrateText = AValue;
  return {};
}

std::string ApplyRate(const std::string& AValue, TCliOptions& AOptions) {
  const int index = ItemIndex(kFrameRateItems, AValue);
  if (index == 0) return "frame rate " + AValue + " is not one of 10, 15, 25, 30";
  SelectFrameRate(AOptions.Choices, index);
  return {};
}

std::string ApplyNorm(const std::string& AValue, TCliOptions& AOptions) {
  static const char* const kNorms[] = {"auto", "pal", "ntsc"};
  const std::string norm = Lower(AValue);
  for (int n = 0; n < 3; ++n)
    if (norm == kNorms[n]) {
      AOptions.Choices.NormIndex = n;
      return {};
    }
  return "norm must be auto, pal or ntsc";
}

std::string ApplyOut(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue.empty()) return "--out needs a folder";
  AOptions.Choices.OutputFolder = FromLocal8Bit(AValue);
  return {};
}

std::string ApplyJobs(const std::string& AValue, TCliOptions& AOptions) {
  return ParsePositive(AValue, AOptions.Jobs) ? std::string() : "--jobs must be a positive whole number";
}

std::string ApplyThreads(const std::string& AValue, TCliOptions& AOptions) {
  return ParsePositive(AValue, AOptions.Threads) ? std::string() : "--threads must be a positive whole number";
}

std::string ApplyExtra(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue.empty() || AValue[0] == '=') return "--extra needs NAME=VALUE";
  AOptions.Extras.push_back(AValue);
  return {};
}

std::string ApplyProbe(const std::string& AValue, TCliOptions& AOptions) {
  AOptions.ProbeFile = AValue;
  return {};
}

constexpr TValueOption kValueOptions[] = {
    {"--format", ApplyFormat},
    {"--size", ApplySize},
    {"--channels", ApplyChannels},
    {"--video-kbps", ApplyVideoKbps},
    {"--audio-kbps", ApplyAudioKbps},
    {"--rate", ApplyRate},
    {"--norm", ApplyNorm},
    {"--out", ApplyOut},
    {"--jobs", ApplyJobs},
    {"--threads", ApplyThreads},
    {"--extra", ApplyExtra},
    {"--probe", ApplyProbe},
};

const TValueOption* FindValueOption(const std::string& AName) {
  for (const TValueOption& option : kValueOptions)
    if (AName == option.Name) return &option;
  return nullptr;
}

// The option at AArgs[AIndex] (which starts with "-" and is not a plain
// switch): its value taken (AIndex moves past a separate value) and applied.
bool ParseValueOption(const std::vector<std::string>& AArgs, size_t& AIndex, TCliOptions& AOptions, bool& AOutGiven,
                      std::string& AError) {
  const std::string& arg = AArgs[AIndex];
  const size_t equal = arg.find('=');
  const std::string name = equal != std::string::npos ? arg.substr(0, equal) : arg;
  const TValueOption* option = FindValueOption(name);
  if (!option) {
    AError = "unknown option " + (equal != std::string::npos ? name : arg);
    return false;
  }
  std::string value;
  if (equal != std::string::npos) {
    value = arg.substr(equal + 1);
  } else if (AIndex + 1 < AArgs.size()) {
    value = AArgs[++AIndex];
  } else {
    AError = "option " + name + " needs a value";
    return false;
  }
  AError = option->Apply(value, AOptions);
  if (option->Apply == ApplyOut) AOutGiven = true;
  return AError.empty();
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& AArgs, TCliOptions& AOptions, std::string& AError) {
  AOptions = TCliOptions();
  AOptions.Choices.OutputFolder = std::u16string(kSameFolder);
  bool sameDir = false, outGiven = false;
  for (size_t i = 0; i < AArgs.size(); ++i) {
    const std::string& arg = AArgs[i];
    if (arg == "--") {
      for (++i; i < AArgs.size(); ++i) AOptions.Files.push_back(AArgs[i]);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      AOptions.Files.push_back(arg);
    } else if (arg == "-h" || arg == "--help") {
      AOptions.Help = true;
      return true;
    } else if (arg == "--same-dir") {
      sameDir = true;
    } else if (!ParseValueOption(AArgs, i, AOptions, outGiven, AError)) {
      return false;
    }
  }
  if (sameDir && outGiven) {
    AError = "--out and --same-dir exclude each other";
    return false;
  }
  if (AOptions.ProbeFile.empty() && AOptions.Files.empty()) {
    AError = "no file to convert";
    return false;
  }
  return true;
}
