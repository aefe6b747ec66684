// The output profiles: the user's choices and the probed source's facts
// turned into the option records of a task and its planned output name.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "converter/Profiles.h"
#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/Text.h"
#include "tests/media/TestMedia.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder for one test, and its names in the wide form the profiles take.
class TProfileFolder : public TTempFolder {
 public:
  TProfileFolder() : TTempFolder("vidmill-profiles") {}
  // The folder with its trailing "/", wide.
  std::u16string Wide() const { return Utf8ToUtf16(Path().string() + "/"); }
  std::u16string File(const std::string& AName) const { return Utf8ToUtf16(*this / AName); }
  void Touch(const std::string& AName) const { std::ofstream(Path() / AName) << "x"; }
};

TSourceInfo Source(int64_t ADuration, int32_t AFrameCount, const std::u16string& AFileName = u"/v/clip.avi") {
  TSourceInfo s;
  s.SourceDuration = ADuration;
  s.FrameCount = AFrameCount;
  s.FileName = AFileName;
  return s;
}

const TSourceInfo kVideo60s = Source(60000000, 1500);     // 60 s at 25 fps
const TSourceInfo kAudioOnly30s = Source(30000000, 300);  // counted in tenths
const TSourceInfo kUnknown = Source(-1, 0);

TProfileChoices OnTab(int ATab, const std::u16string& AFolder) {
  TProfileChoices c;
  c.TabIndex = ATab;
  c.OutputFolder = AFolder;
  return c;
}

enum { kTab3gp, kTabMp4, kTabAvi, kTabVcd, kTabDvd, kTabFlv, kTabWmv };

}  // namespace

// ---- The controls' items ----

TEST(ProfilesItems, EveryFrameSizeItemButTheFirstGivesASize) {
  EXPECT_EQ(kFrameSizeItems[0], "自动 - 初始化");
  const std::regex size("[0-9]+x[0-9]+");
  for (size_t i = 1; i < kFrameSizeItems.size(); ++i) {
    const std::string item(kFrameSizeItems[i]);
    EXPECT_TRUE(std::regex_match(FrameSizeOfItem(item), size)) << item;
  }
}

TEST(ProfilesItems, FrameSizeIsTheTextBeforeABlankThatIsNotTheFirstCharacter) {
  EXPECT_EQ(FrameSizeOfItem("176x144 - qcif"), "176x144");
  EXPECT_EQ(FrameSizeOfItem("640x480"), "640x480");
  EXPECT_EQ(FrameSizeOfItem(" 640x480 - vga"), " 640x480 - vga");
}

// ---- Panel choices and per-format settings ----

TEST(ProfilesChoices, PanelChoicesReachTheRecord) {
  TProfileFolder out;
  TProfileChoices c = OnTab(kTabMp4, out.Wide());
  SelectFrameSize(c, 3);  // "352x288 - cif"
  c.ChannelsIndex = 2;
  SelectFrameRate(c, 3);  // "25"
  c.VideoBitrateChecked = true;
  c.VideoBitrateText = "1200";
  c.AudioBitrateChecked = true;
  c.AudioBitrateText = "128";
  TOutputOptions o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.FrameSize, "352x288");
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.VideoBitrate, 1200000);
  EXPECT_EQ(o.AudioBitrate, 128000);
  EXPECT_EQ(o.AudioSampleRate, -1);

  // Indexes outside their lists choose nothing.
  SelectFrameSize(c, 29);
  SelectFrameRate(c, -1);
  c.ChannelsIndex = 3;
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.FrameSize, "");
  EXPECT_EQ(o.FrameRate, "");
  EXPECT_EQ(o.AudioChannels, -1);
}

TEST(ProfilesChoices, ThreeGpReplacesSizeChannelsAndAudioRateButKeepsFrameRate) {
  TProfileFolder out;
  TProfileChoices c = OnTab(kTab3gp, out.Wide());
  SelectFrameSize(c, 3);  // "352x288 - cif"
  c.ChannelsIndex = 2;    // "双声道"
  c.AudioBitrateChecked = true;
  c.AudioBitrateText = "32";
  SelectFrameRate(c, 2);  // "15"
  const TOutputOptions o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.FrameSize, "128x96");
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.AudioSampleRate, 8000);
  EXPECT_EQ(o.AudioBitrate, 7400);
  EXPECT_EQ(o.VideoBitrate, 600000);
  EXPECT_EQ(o.FrameRate, "15");
}

TEST(ProfilesChoices, BitRateEditsThatAreNotIntegers) {
  TProfileFolder out;
  TProfileChoices c = OnTab(kTabAvi, out.Wide());
  c.VideoBitrateChecked = true;
  c.VideoBitrateText = "abc";
  c.AudioBitrateChecked = true;
  c.AudioBitrateText = "";
  TOutputOptions o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.VideoBitrate, 200000);
  EXPECT_EQ(o.AudioBitrate, 64000);

  // A rate whose bit/s do not fit the record counts as no integer either.
  c.VideoBitrateText = "3000000";
  c.AudioBitrateText = "2147484";
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.VideoBitrate, 200000);
  EXPECT_EQ(o.AudioBitrate, 64000);

  // Unchecked: the video rate is 600 kbit/s whatever the edit says, the
  // audio rate is left to the encoder.
  c.VideoBitrateChecked = false;
  c.AudioBitrateChecked = false;
  c.VideoBitrateText = "900";
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.VideoBitrate, 600000);
  EXPECT_EQ(o.AudioBitrate, -1);
}

TEST(ProfilesChoices, TargetTabsUseThePanelsLastValuesAndTheirNorm) {
  TProfileFolder out;
  TProfileChoices c = OnTab(kTabVcd, out.Wide());
  SelectFrameRate(c, 3);
  c.VideoBitrateChecked = true;
  c.VideoBitrateText = "1150";
  c.NormIndex = 1;
  TOutputOptions o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.Target, 1);
  EXPECT_EQ(o.TargetNorm, 1);
  EXPECT_EQ(o.TargetDefaultNorm, 1);
  EXPECT_EQ(o.FrameRate, "25");
  EXPECT_EQ(o.VideoBitrate, -1) << "a VCD keeps the target's fixed rate, whatever the panel says";
  EXPECT_EQ(o.OutputReserved, "_vcd_pal.mpg");

  c = OnTab(kTabDvd, out.Wide());
  c.NormIndex = 0;
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.Target, 3);
  EXPECT_EQ(o.TargetNorm, 0);
  EXPECT_EQ(o.TargetDefaultNorm, 1);
  EXPECT_EQ(o.OutputReserved, "_dvd_auto.mpg");
  EXPECT_EQ(o.FileName, out.File("clip_(new)_dvd_auto.mpg"));
  EXPECT_EQ(o.VideoBitrate, 600000) << "a DVD takes the panel's rate";

  c.NormIndex = 2;
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.TargetNorm, 2);
  EXPECT_EQ(o.OutputReserved, "_dvd_ntsc.mpg");

  // A norm outside the group is automatic.
  c.NormIndex = -1;
  o = BuildOutputOptions(c, kVideo60s);
  EXPECT_EQ(o.TargetNorm, 0);
  EXPECT_EQ(o.OutputReserved, "_dvd_auto.mpg");
}

TEST(ProfilesChoices, NoTabShowingGivesNoKeyAndNoSuffix) {
  TProfileFolder out;
  const TOutputOptions o = BuildOutputOptions(OnTab(-1, out.Wide()), kVideo60s);
  EXPECT_EQ(o.OutputReserved, "");
  EXPECT_EQ(o.FileName, out.File("clip_(new)"));
  EXPECT_EQ(o.Target, 0);
  EXPECT_EQ(o.VideoBitrate, 600000);
}

// ---- Start and recording time ----

TEST(ProfilesTiming, TheSourceFromItsSecondFrameToItsEnd) {
  struct TCase {
    const char* Name;
    TSourceInfo Source;
    int StartTimeMs, RecordingTimeMs;
  };
  const TCase cases[] = {
      {"60 s at 25 fps", kVideo60s, 40, 59960},
      {"30 s without video", kAudioOnly30s, 100, 29900},
      {"unknown duration", kUnknown, 0, 0},
      // 1000.5 ms rounds to 1000, 333.5 ms to 334 (ties to even).
      {"ties of the whole", Source(1000500, 3), 334, 666},
      // 40.5 ms rounds to 40; the whole is 81 ms.
      {"ties of one frame", Source(81000, 2), 40, 41},
      // No frame count: the duration alone sets nothing.
      {"duration without frames", Source(5000000, 0), 0, 0},
  };
  TProfileFolder out;
  for (const TCase& t : cases) {
    SCOPED_TRACE(t.Name);
    EXPECT_EQ(BuildInputOptions(t.Source).StartTimeMs, t.StartTimeMs);
    EXPECT_EQ(BuildOutputOptions(OnTab(kTabMp4, out.Wide()), t.Source).RecordingTimeMs, t.RecordingTimeMs);
  }
}

// ---- Output names ----

TEST(ProfilesNaming, ExistingOutputsAreNeverReused) {
  TProfileFolder out;
  const TProfileChoices c = OnTab(kTabMp4, out.Wide());
  EXPECT_EQ(BuildOutputOptions(c, kVideo60s).FileName, out.File("clip_(new).mp4"));
  out.Touch("clip_(new).mp4");
  EXPECT_EQ(BuildOutputOptions(c, kVideo60s).FileName, out.File("clip_(new_1).mp4"));
  out.Touch("clip_(new_1).mp4");
  EXPECT_EQ(BuildOutputOptions(c, kVideo60s).FileName, out.File("clip_(new_2).mp4"));
  // Another format's output is no clash.
  EXPECT_EQ(BuildOutputOptions(OnTab(kTabAvi, out.Wide()), kVideo60s).FileName, out.File("clip_(new).avi"));
}

TEST(ProfilesNaming, DirectoriesAndLinksTakeTheirNamesToo) {
  TProfileFolder out;
  fs::create_directory(out.Path() / "clip_(new).mp4");
  fs::create_symlink(out.Path() / "nowhere", out.Path() / "clip_(new_1).mp4");
  EXPECT_EQ(BuildOutputOptions(OnTab(kTabMp4, out.Wide()), kVideo60s).FileName, out.File("clip_(new_2).mp4"));
}

TEST(ProfilesNaming, SameFolderPutsTheOutputNextToItsSource) {
  TProfileFolder src;
  src.Touch("clip.avi");
  TProfileChoices c = OnTab(kTabVcd, std::u16string(kSameFolder));
  c.NormIndex = 2;
  const TOutputOptions o = BuildOutputOptions(c, Source(60000000, 1500, src.File("clip.avi")));
  EXPECT_EQ(o.FileName, src.File("clip_(new)_vcd_ntsc.mpg"));
  EXPECT_EQ(o.OutputReserved, "_vcd_ntsc.mpg");
}

TEST(ProfilesNaming, FolderTextWithoutTrailingSeparator) {
  TProfileFolder out;
  std::u16string folder = out.Wide();
  folder.pop_back();
  EXPECT_EQ(BuildOutputOptions(OnTab(kTabFlv, folder), kVideo60s).FileName, out.File("clip_(new).flv"));
  // No folder at all: the current directory.
  EXPECT_EQ(OutputBaseName(u"", u"/v/clip.avi"), u"clip");
}

TEST(ProfilesNaming, OnlyTheFileNamesExtensionIsRemoved) {
  EXPECT_EQ(OutputBaseName(u"/out/", u"/v/clip.tar.gz"), u"/out/clip.tar");
  EXPECT_EQ(OutputBaseName(u"/out/", u"/v.d/clip"), u"/out/clip");
  EXPECT_EQ(OutputBaseName(std::u16string(kSameFolder), u"/v.d/clip"), u"/v.d/clip");
  EXPECT_EQ(OutputBaseName(std::u16string(kSameFolder), u"/v.d/片.段.mkv"), u"/v.d/片.段");
  EXPECT_EQ(OutputBaseName(u"/out/", u"/v/clip."), u"/out/clip");
}

TEST(ProfilesNaming, WideNamesSurviveTheExistenceCheck) {
  TProfileFolder out;
  const std::u16string src = u"/媒体/短片.avi";
  const TProfileChoices c = OnTab(kTabWmv, out.Wide());
  out.Touch("短片_(new).wmv");
  EXPECT_EQ(BuildOutputOptions(c, Source(60000000, 1500, src)).FileName, out.File("短片_(new_1).wmv"));
}

TEST(ProfilesNaming, ATemporaryFileReservesItsNameAndStaleOnesAreCleared) {
  TProfileFolder out;
  const TProfileChoices c = OnTab(kTabMp4, out.Wide());
  // A task writing "clip_(new).mp4" holds its temporary file.
  out.Touch(".clip_(new).mp4.part");
  EXPECT_EQ(BuildOutputOptions(c, kVideo60s).FileName, out.File("clip_(new_1).mp4"));

  // Left by runs killed long ago: the planner's own temporary files go,
  // recent ones (a run in progress) and anything else stay.
  struct TEntry {
    const char* Name;
    bool Old, Removed;
  };
  const TEntry entries[] = {
      {".clip_(new).mp4.part", false, false},
      {".clip_(new_1).avi.part", true, true},
      {".b_(new_12)_vcd_pal.mpg.part", true, true},
      {".notes.part", true, false},
      {"clip_(new_2).avi", true, false},
      {".clip_(new_x).avi.part", true, false},
  };
  for (const TEntry& entry : entries) {
    out.Touch(entry.Name);
    if (entry.Old)
      fs::last_write_time(out.Path() / entry.Name, fs::file_time_type::clock::now() - std::chrono::hours(25));
  }
  EXPECT_EQ(RemoveStalePartialOutputs(out.Wide(), 24 * 60 * 60), 2);
  for (const TEntry& entry : entries) EXPECT_EQ(fs::exists(out.Path() / entry.Name), !entry.Removed) << entry.Name;
}

TEST(ProfilesNaming, LongNamesAreShortenedAtACharacterToFitWithTheirTemporaryName) {
  TProfileFolder out;
  std::u16string chinese;
  for (int i = 0; i < 100; ++i) chinese += u"视";  // 300 bytes of UTF-8
  for (const std::u16string& stem : {std::u16string(300, u'l'), chinese}) {
    const std::u16string name = ExtractFileNameW(
        BuildOutputOptions(OnTab(kTabMp4, out.Wide()), Source(60000000, 1500, u"/v/" + stem + u".avi")).FileName);
    const std::string bytes = Utf16ToUtf8(name);
    EXPECT_LE(bytes.size() + 6, 255u) << bytes;
    EXPECT_GT(bytes.size() + 6, 252u) << "no more is cut than needed: " << bytes;
    EXPECT_EQ(name.substr(name.size() - 10), u"_(new).mp4");
    EXPECT_EQ(name.substr(0, 5), stem.substr(0, 5));
    EXPECT_EQ(Utf8ToUtf16(bytes), name) << "cut between characters";
  }
}

// ---- Every tab, for a video and an audio-only source ----

TEST(ProfilesTabs, PlannedNameAndRecordsOfEachTab) {
  struct TRow {
    int Tab;
    const char* Suffix;
    int Channels, SampleRate, AudioBitrate;
    const char* FrameSize;
    const char* VideoCodec;
    const char* AudioCodec;
    int Target;
  };
  const TRow rows[] = {
      {kTab3gp, ".3gp", 1, 8000, 7400, "128x96", "", "", 0}, {kTabMp4, ".mp4", -1, -1, -1, "", "", "", 0},
      {kTabAvi, ".avi", -1, -1, -1, "", "", "", 0},          {kTabVcd, "_vcd_auto.mpg", -1, -1, -1, "", "", "", 1},
      {kTabDvd, "_dvd_auto.mpg", -1, -1, -1, "", "", "", 3}, {kTabFlv, ".flv", -1, 22050, -1, "", "", "", 0},
      {kTabWmv, ".wmv", -1, -1, -1, "", "wmv2", "wmav2", 0},
  };
  struct TSourceRow {
    const char* Name;
    TSourceInfo Source;
    const char* Base;
    int StartTimeMs, RecordingTimeMs;
  };
  TSourceRow sources[] = {
      {"60 s at 25 fps", Source(60000000, 1500, u"/v/clip.avi"), "clip", 40, 59960},
      {"30 s audio only", Source(30000000, 300, u"/a/song.mp3"), "song", 100, 29900},
  };
  sources[1].Source.FileFormat = "mp3";
  TProfileFolder out;
  for (const TRow& r : rows) {
    for (const TSourceRow& s : sources) {
      SCOPED_TRACE(std::string(kTabCaptions[r.Tab]) + ", " + s.Name);
      const TOutputOptions o = BuildOutputOptions(OnTab(r.Tab, out.Wide()), s.Source);
      EXPECT_EQ(o.FileName, out.File(std::string(s.Base) + "_(new)" + r.Suffix));
      EXPECT_EQ(o.OutputReserved, r.Suffix);
      EXPECT_EQ(o.AudioChannels, r.Channels);
      EXPECT_EQ(o.AudioSampleRate, r.SampleRate);
      EXPECT_EQ(o.AudioBitrate, r.AudioBitrate);
      EXPECT_EQ(o.FrameSize, r.FrameSize);
      EXPECT_EQ(o.FrameRate, "");
      EXPECT_EQ(o.VideoCodec, r.VideoCodec);
      EXPECT_EQ(o.AudioCodec, r.AudioCodec);
      EXPECT_EQ(o.VideoBitrate, r.Target == 1 ? -1 : 600000);
      EXPECT_EQ(o.Target, r.Target);
      EXPECT_EQ(o.TargetNorm, 0);
      EXPECT_EQ(o.TargetDefaultNorm, 1);
      EXPECT_TRUE(o.SubtitleDisable);
      EXPECT_EQ(o.Metadata.Timestamp, 0.0);
      EXPECT_EQ(o.RecordingTimeMs, s.RecordingTimeMs);
      // Untouched fields keep their initial values.
      EXPECT_EQ(o.FileFormat, "");
      EXPECT_EQ(o.StartTimeMs, -1);
      EXPECT_EQ(o.RecordingTime, -1);
      EXPECT_EQ(o.AudioVolume, -1);
      EXPECT_EQ(o.VideoSync, -1);
      EXPECT_EQ(o.Metadata.Year, -1);
      EXPECT_FALSE(o.AudioDisable);
      EXPECT_FALSE(o.VideoDisable);

      const TInputOptions i = BuildInputOptions(s.Source);
      EXPECT_EQ(i.FileName, s.Source.FileName);
      EXPECT_EQ(i.FileFormat, s.Source.FileFormat);
      EXPECT_EQ(i.StartTimeMs, s.StartTimeMs);
      EXPECT_EQ(i.StartTime, -1);
    }
  }
}

// ---- Duration and frame count of a probed source ----

namespace {

testmedia::ClipSpec SmallClip(const std::string& AContainer, double ASeconds) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = ASeconds;
  return spec;
}

TSourceInfo Probed(const std::string& APath) {
  TAVProbe probe;
  probe.Enable();
  EXPECT_TRUE(probe.LoadFile(FromLocal8Bit(APath), "")) << APath << ": " << probe.LastErrMsg();
  return SourceInfoFromProbe(probe);
}

}  // namespace

TEST(ProfilesSourceInfo, AudioOnlyCountsTenthsOfASecond) {
  const std::string path = testmedia::CachedClip(SmallClip("wav", 12.34));
  const TSourceInfo s = Probed(path);
  EXPECT_EQ(s.SourceDuration, 12340000);
  EXPECT_EQ(s.FrameCount, 123);
  EXPECT_EQ(s.FileName, FromLocal8Bit(path));
  EXPECT_EQ(s.FileFormat, "");
  // 12340 ms less one tenth, rounded: 100.325 ms.
  EXPECT_EQ(BuildInputOptions(s).StartTimeMs, 100);
}

TEST(ProfilesSourceInfo, VideoCountsFramesOfTheStreamsOwnDuration) {
  testmedia::ClipSpec spec = SmallClip("mp4", 10.0);
  spec.fpsNum = 30000;
  spec.fpsDen = 1001;
  spec.audio = false;
  const std::string path = testmedia::CachedClip(spec);
  TAVProbe probe;
  probe.Enable();
  ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(path), "")) << probe.LastErrMsg();
  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(video));
  ASSERT_GT(video.DurationUs, 0);
  EXPECT_EQ(SourceInfoFromProbe(probe).FrameCount, 300);
}

TEST(ProfilesSourceInfo, FrameCountRule) {
  TVideoStreamInfo video;
  video.FrameRateNum = 25;
  video.FrameRateDen = 1;
  // The stream's own duration wins over the file's.
  video.DurationUs = 10000000;
  EXPECT_EQ(EstimateFrameCount(12000000, &video), 250);
  // Without one, the file's duration at the stream's rate.
  video.DurationUs = -1;
  EXPECT_EQ(EstimateFrameCount(12000000, &video), 300);
  // 12.5 frames round to 12, 37.5 to 38.
  EXPECT_EQ(EstimateFrameCount(500000, &video), 12);
  EXPECT_EQ(EstimateFrameCount(1500000, &video), 38);
  // No usable rate, or no video stream: tenths of a second.
  video.FrameRateDen = 0;
  EXPECT_EQ(EstimateFrameCount(12000000, &video), 120);
  EXPECT_EQ(EstimateFrameCount(12340000, nullptr), 123);
  EXPECT_EQ(EstimateFrameCount(250000, nullptr), 2);
  EXPECT_EQ(EstimateFrameCount(-1, nullptr), 0);
}

TEST(ProfilesSourceInfo, UnknownDurationGivesNoFrames) {
  // A still picture: a video stream, but neither it nor the file has a duration.
  const TSourceInfo still = Probed(testmedia::CachedClip(SmallClip("png", 1.0)));
  EXPECT_EQ(still.SourceDuration, -1);
  EXPECT_EQ(still.FrameCount, 0);

  // Nothing loaded at all.
  TAVProbe probe;
  probe.Enable();
  const TSourceInfo none = SourceInfoFromProbe(probe);
  EXPECT_EQ(none.SourceDuration, -1);
  EXPECT_EQ(none.FrameCount, 0);
}
