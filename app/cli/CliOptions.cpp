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

// NOLINTNEXTLINE(readability-function-cognitive-complexity): being split
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
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      AOptions.Help = true;
      return true;
    }
    if (arg == "--same-dir") {
      sameDir = true;
      continue;
    }
    // Every other option takes a value: "--name value" or "--name=value".
    std::string name = arg, value;
    const size_t equal = arg.find('=');
    if (equal != std::string::npos) {
      name = arg.substr(0, equal);
      value = arg.substr(equal + 1);
    } else {
      static const char* const kWithValue[] = {"--format",     "--size",    "--channels", "--video-kbps",
                                               "--audio-kbps", "--rate",    "--norm",     "--out",
                                               "--jobs",       "--threads", "--extra",    "--probe"};
      bool known = false;
      for (const char* option : kWithValue) known = known || name == option;
      if (!known) {
        AError = "unknown option " + arg;
        return false;
      }
      if (i + 1 >= AArgs.size()) {
        AError = "option " + name + " needs a value";
        return false;
      }
      value = AArgs[++i];
    }

    if (name == "--format") {
      const std::string key = "." + Lower(value);
      int tab = -1;
      for (size_t t = 0; t < kOutputKeys.size(); ++t)
        if (kOutputKeys[t] == key) tab = static_cast<int>(t);
      if (tab < 0) {
        AError = "unknown format \"" + value + "\" (3gp, mp4, avi, vcd, dvd, flv or wmv)";
        return false;
      }
      AOptions.Choices.TabIndex = tab;
    } else if (name == "--size") {
      int index = 0;
      for (size_t s = 1; s < kFrameSizeItems.size() && index == 0; ++s)
        if (FrameSizeOfItem(std::string(kFrameSizeItems[s])) == value) index = static_cast<int>(s);
      if (index == 0) {
        AError = "frame size " + value + " is not one of the window's sizes";
        return false;
      }
      SelectFrameSize(AOptions.Choices, index);
    } else if (name == "--channels") {
      if (value != "1" && value != "2") {
        AError = "channels must be 1 or 2";
        return false;
      }
      AOptions.Choices.ChannelsIndex = value == "1" ? 1 : 2;
    } else if (name == "--video-kbps" || name == "--audio-kbps") {
      int kbps = 0;
      if (!ParsePositive(value, kbps)) {
        AError = name + " must be a positive whole number of kbit/s";
        return false;
      }
      if (name == "--video-kbps") {
        AOptions.Choices.VideoBitrateChecked = true;
        AOptions.Choices.VideoBitrateText = value;
      } else {
        AOptions.Choices.AudioBitrateChecked = true;
        AOptions.Choices.AudioBitrateText = value;
      }
    } else if (name == "--rate") {
      const int index = ItemIndex(kFrameRateItems, value);
      if (index == 0) {
        AError = "frame rate " + value + " is not one of 10, 15, 25, 30";
        return false;
      }
      SelectFrameRate(AOptions.Choices, index);
    } else if (name == "--norm") {
      const std::string norm = Lower(value);
      if (norm == "auto") {
        AOptions.Choices.NormIndex = 0;
      } else if (norm == "pal") {
        AOptions.Choices.NormIndex = 1;
      } else if (norm == "ntsc") {
        AOptions.Choices.NormIndex = 2;
      } else {
        AError = "norm must be auto, pal or ntsc";
        return false;
      }
    } else if (name == "--out") {
      if (value.empty()) {
        AError = "--out needs a folder";
        return false;
      }
      outGiven = true;
      AOptions.Choices.OutputFolder = FromLocal8Bit(value);
    } else if (name == "--jobs") {
      if (!ParsePositive(value, AOptions.Jobs)) {
        AError = "--jobs must be a positive whole number";
        return false;
      }
    } else if (name == "--threads") {
      if (!ParsePositive(value, AOptions.Threads)) {
        AError = "--threads must be a positive whole number";
        return false;
      }
    } else if (name == "--extra") {
      if (value.empty() || value[0] == '=') {
        AError = "--extra needs NAME=VALUE";
        return false;
      }
      AOptions.Extras.push_back(value);
    } else if (name == "--probe") {
      AOptions.ProbeFile = value;
    } else {
      AError = "unknown option " + name;
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
