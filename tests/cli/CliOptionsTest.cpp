// The command line of vidmill-cli: each option becomes the choice the window
// would make, and values the window does not offer are refused.

#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "app/cli/CliOptions.h"
#include "runtime/Text.h"
#include "tests/support/RunProgram.h"

namespace {

TCliOptions Parse(const std::vector<std::string>& AArgs) {
  TCliOptions options;
  std::string error;
  EXPECT_TRUE(ParseCliOptions(AArgs, options, error)) << error;
  return options;
}

std::string Refusal(const std::vector<std::string>& AArgs) {
  TCliOptions options;
  std::string error;
  EXPECT_FALSE(ParseCliOptions(AArgs, options, error));
  return error;
}

}  // namespace

TEST(CliOptions, DefaultsAre3gpNextToTheSourceWithTheWindowsStartValues) {
  const TCliOptions options = Parse({"a.avi", "b.mp4"});
  EXPECT_EQ(options.Choices.TabIndex, 0);
  EXPECT_EQ(options.Choices.OutputFolder, std::u16string(kSameFolder));
  EXPECT_EQ(options.Jobs, 0) << "the number of processors";
  EXPECT_FALSE(options.Choices.VideoBitrateChecked);
  EXPECT_FALSE(options.Choices.AudioBitrateChecked);
  EXPECT_EQ(options.Choices.FrameSizeIndex, 0);
  EXPECT_EQ(options.Choices.FrameRateIndex, 0);
  EXPECT_EQ(options.Choices.ChannelsIndex, 0);
  EXPECT_EQ(options.Choices.NormIndex, 0);
  EXPECT_EQ(options.Files, (std::vector<std::string>{"a.avi", "b.mp4"}));
}

TEST(CliOptions, EachChoiceSelectsTheWindowsItem) {
  const TCliOptions options = Parse(
      {"--format",  "DVD", "--size=176x144", "--channels", "1",       "--video-kbps", "900",     "--audio-kbps=96",
       "--rate",    "15",  "--norm",         "ntsc",       "--out",   "/tmp/out",     "--jobs",  "3",
       "--threads", "4",   "--extra",        "threads=2",  "--extra", "vf=null",      "clip.avi"});
  EXPECT_EQ(options.Choices.TabIndex, 4);
  EXPECT_EQ(options.Choices.FrameSizeText, "176x144 - qcif");
  EXPECT_EQ(kFrameSizeItems[options.Choices.FrameSizeIndex], "176x144 - qcif");
  EXPECT_EQ(options.Choices.ChannelsIndex, 1);
  EXPECT_TRUE(options.Choices.VideoBitrateChecked);
  EXPECT_EQ(options.Choices.VideoBitrateText, "900");
  EXPECT_TRUE(options.Choices.AudioBitrateChecked);
  EXPECT_EQ(options.Choices.AudioBitrateText, "96");
  EXPECT_EQ(options.Choices.FrameRateText, "15");
  EXPECT_EQ(options.Choices.NormIndex, 2);
  EXPECT_EQ(options.Choices.OutputFolder, u"/tmp/out");
  EXPECT_EQ(options.Jobs, 3);
  EXPECT_EQ(options.Threads, 4);
  EXPECT_EQ(options.Extras, (std::vector<std::string>{"threads=2", "vf=null"}));
  EXPECT_EQ(options.Files, std::vector<std::string>{"clip.avi"});

  for (size_t tab = 0; tab < kOutputKeys.size(); ++tab) {
    const std::string name(kOutputKeys[tab].substr(1));
    EXPECT_EQ(Parse({"--format", name, "x"}).Choices.TabIndex, static_cast<int>(tab)) << name;
  }
  // A name after "--" is a file even when it looks like an option.
  EXPECT_EQ(Parse({"--", "--same-dir"}).Files, std::vector<std::string>{"--same-dir"});
}

TEST(CliOptions, TheSameChoicesBuildTheSameRecordsAsTheWindow) {
  // The window's choices for the DVD tab with NTSC, 15 fps and 900 kbit/s.
  TProfileChoices window;
  window.TabIndex = 4;
  window.NormIndex = 2;
  SelectFrameRate(window, 2);
  window.VideoBitrateChecked = true;
  window.VideoBitrateText = "900";
  window.OutputFolder = u"/nowhere/";
  const TCliOptions cli = Parse(
      {"--format", "dvd", "--norm", "ntsc", "--rate", "15", "--video-kbps", "900", "--out", "/nowhere/", "clip.avi"});
  TSourceInfo source;
  source.SourceDuration = 60000000;
  source.FrameCount = 1500;
  source.FileName = u"/v/clip.avi";
  const TOutputOptions a = BuildOutputOptions(window, source);
  const TOutputOptions b = BuildOutputOptions(cli.Choices, source);
  EXPECT_EQ(a.FileName, b.FileName);
  EXPECT_EQ(a.Target, b.Target);
  EXPECT_EQ(a.TargetNorm, b.TargetNorm);
  EXPECT_EQ(a.FrameRate, b.FrameRate);
  EXPECT_EQ(a.VideoBitrate, b.VideoBitrate);
  EXPECT_EQ(a.RecordingTimeMs, b.RecordingTimeMs);
}

TEST(CliOptions, ValuesTheWindowDoesNotOfferAreRefused) {
  EXPECT_NE(Refusal({"--size", "100x100", "a"}).find("100x100"), std::string::npos);
  EXPECT_NE(Refusal({"--rate", "24", "a"}).find("24"), std::string::npos);
  EXPECT_NE(Refusal({"--format", "mkv", "a"}).find("mkv"), std::string::npos);
  Refusal({"--channels", "6", "a"});
  Refusal({"--norm", "secam", "a"});
  Refusal({"--video-kbps", "abc", "a"});
  Refusal({"--audio-kbps", "0", "a"});
  Refusal({"--jobs", "0", "a"});
  Refusal({"--jobs", "2x", "a"});
  Refusal({"--threads", "0", "a"});
  Refusal({"--extra", "=1", "a"});
  Refusal({"--out", "/tmp", "--same-dir", "a"});
  EXPECT_NE(Refusal({"--colour", "a"}).find("--colour"), std::string::npos);
  EXPECT_NE(Refusal({"--format"}).find("needs a value"), std::string::npos);
  EXPECT_NE(Refusal({"--format", "mp4"}).find("no file"), std::string::npos);
  // The first item of each list is "automatic", not a value.
  Refusal({"--rate", "自动", "a"});
}

TEST(CliOptions, HelpAndProbeNeedNoFiles) {
  EXPECT_TRUE(Parse({"--help"}).Help);
  EXPECT_EQ(Parse({"--probe", "x.avi"}).ProbeFile, "x.avi");
  EXPECT_NE(CliUsage().find("--format 3gp|mp4|avi|vcd|dvd|flv|wmv"), std::string::npos);
}

TEST(CliOptions, TheBuiltManPageAndCompletionNameEveryOptionOfTheHelpAndNoHiddenOne) {
  const std::string man = ReadWholeFile(VIDMILL_CLI_MAN), completion = ReadWholeFile(VIDMILL_CLI_COMPLETION);
  ASSERT_EQ(man.rfind(".TH VIDMILL\\-CLI 1 ", 0), 0u) << man.substr(0, 80);
  std::istringstream help(CliUsage());
  int options = 0;
  for (std::string line; std::getline(help, line);) {
    if (line.rfind("  -", 0) != 0) continue;
    std::string name = line.substr(2, line.find(' ', 2) - 2);
    name = name.substr(name.find(',') + 1);  // "-h,--help": --help
    ++options;
    std::string roff;
    for (const char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(man.find("\\fB" + roff + "\\fR"), std::string::npos) << name;
    EXPECT_NE(completion.find(" " + name), std::string::npos) << name;
  }
  EXPECT_GE(options, 19) << "every option of the help was looked for: " << CliUsage();
  for (const std::string& text : {CliUsage(), man, completion}) EXPECT_EQ(text.find("--generate"), std::string::npos);
  EXPECT_EQ(std::system(("bash -n '" + std::string(VIDMILL_CLI_COMPLETION) + "'").c_str()), 0);
}
