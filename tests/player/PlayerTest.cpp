// The player end to end: SDL's disk audio driver records what is played,
// the dummy video driver takes the pictures.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "player/FFPlay.h"
#include "runtime/Text.h"
#include "tests/media/TestMedia.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace playertest {
namespace {

constexpr int64_t kSecond = 1000000;
constexpr int kRate = 44100;
constexpr int kChannels = 2;
// A sine at half of full scale.
const double kToneRms = 0.5 * 32767 / std::sqrt(2.0);

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearLogLines(); }

  // Plays AClip for ASeconds of wall time (serving the main thread), then stops.
  void PlayFor(const std::string& AClip, double ASeconds) {
    ASSERT_TRUE(Player.Open(Wide(AClip), 0)) << Player.LastErrMsg();
    Wait(ASeconds);
    Player.Stop(true);
  }

  TFFPlayer Player;
  TPlayerRecorder Recorder{Player};
};

TEST_F(PlayerTest, PlaysTheToneAtItsLength) {
  const std::string clip = ToneClip();
  ASSERT_TRUE(Player.Open(Wide(clip), 0)) << Player.LastErrMsg();
  EXPECT_EQ(Recorder.FileOpens, 1);
  EXPECT_NEAR(Recorder.Duration, 3 * kSecond, kSecond / 10);
  EXPECT_EQ(Recorder.FrameWidth, 320);
  EXPECT_EQ(Recorder.FrameHeight, 240);
  EXPECT_GE(Player.AudioStreamIndex(), 0);
  EXPECT_GE(Player.VideoStreamIndex(), 0);
  EXPECT_FALSE(Player.WaveformShown());
  EXPECT_EQ(Player.Probe().StreamCount(), 2);  // the probe describes the playing file

  ASSERT_TRUE(WaitUntil([&] { return Recorder.Has(psEnd); }, 8)) << "no end after 8 s";
  Wait(0.3);  // the device plays out what it holds
  Player.Stop(true);
  EXPECT_FALSE(Player.Playing());
  EXPECT_EQ(Player.AudioStreamIndex(), -1);
  EXPECT_EQ(Player.Probe().StreamCount(), -1);
  // Past the duration the duration is reported.
  EXPECT_EQ(Recorder.LastPosition(), Recorder.Duration);

  const TToneAnalysis tone = AnalyseTone(ReadDiskAudio(), kChannels, kRate);
  EXPECT_NEAR(tone.Seconds, 3.0, 0.1);
  EXPECT_NEAR(tone.FrequencyHz, 1000, 10);
  EXPECT_NEAR(tone.Rms, kToneRms, kToneRms * 0.1);
  EXPECT_LT(tone.LongestGapMs, 2) << "the sound has a dropout";
}

TEST_F(PlayerTest, MuteAndVolumeShapeTheSoundWhileTheClockRuns) {
  const std::string clip = ToneClip();
  Player.SetMute(true);
  PlayFor(clip, 1.2);
  EXPECT_EQ(AnalyseTone(ReadDiskAudio(), kChannels, kRate).Peak, 0);
  EXPECT_GT(Recorder.LastPosition(), kSecond * 8 / 10) << "the clock stood still";

  Player.SetMute(false);
  Player.SetAudioVolume(0);
  Recorder.Positions.clear();
  PlayFor(clip, 1.2);
  EXPECT_EQ(AnalyseTone(ReadDiskAudio(), kChannels, kRate).Peak, 0);
  EXPECT_GT(Recorder.LastPosition(), kSecond * 8 / 10);

  Player.SetAudioVolume(64);
  PlayFor(clip, 1.0);
  EXPECT_NEAR(AnalyseTone(ReadDiskAudio(), kChannels, kRate).Rms, kToneRms / 2, kToneRms * 0.06);

  Player.SetAudioVolume(1000);
  EXPECT_EQ(Player.AudioVolume(), kMaxAudioVolume);
}

TEST_F(PlayerTest, StatesFollowPauseResumeEndAndStop) {
  // Every picture passes the hook on its way to the screen.
  std::vector<int64_t> hookStamps;
  bool hookPicturesRight = true;
  Player.SetHook(true);
  Player.OnHook = [&](TObject*, TBitmap& ABitmap, int64_t APTS) {
    hookStamps.push_back(APTS);  // the video decoder thread only
    const uint8_t* topLeft = ABitmap.ScanLine(ABitmap.Height / 4) + (ABitmap.Width / 4) * 3;
    if (ABitmap.Width != 320 || ABitmap.Height != 240 || topLeft[2] < 200 || topLeft[1] > 60 || topLeft[0] > 60)
      hookPicturesRight = false;
  };
  Player.Stop(true);  // nothing plays: nothing happens
  EXPECT_TRUE(Recorder.States().empty());

  ASSERT_TRUE(Player.Open(Wide(ToneClip()), 0)) << Player.LastErrMsg();
  ASSERT_TRUE(WaitUntil([&] { return Recorder.LastPosition() > kSecond / 2; }, 3));
  Player.TogglePause();
  EXPECT_TRUE(Player.Paused());
  Wait(0.1);
  const int64_t paused = Recorder.LastPosition();
  Wait(0.6);
  EXPECT_NEAR(Recorder.LastPosition(), paused, 20000) << "the position moved while paused";
  Player.TogglePause();
  Wait(0.2);
  // Resuming goes on from where it stopped, not from where the wall clock is.
  EXPECT_GE(Recorder.LastPosition(), paused);
  EXPECT_LT(Recorder.LastPosition(), paused + 400000);
  ASSERT_TRUE(WaitUntil([&] { return Recorder.Has(psEnd); }, 8));
  Player.Stop(true);

  std::vector<TPlayState> states = Recorder.States();
  ASSERT_GE(states.size(), 5u);
  EXPECT_EQ(states[0], psPlay);
  EXPECT_EQ(states[1], psPause);
  EXPECT_EQ(states[2], psResume);
  EXPECT_EQ(states[3], psEnd);
  EXPECT_EQ(states.back(), psStop);
  EXPECT_EQ(Recorder.StateCount(psStop), 1);
  EXPECT_EQ(Recorder.StateCount(psStep), 0);

  // 3 s at 25 pictures a second.
  EXPECT_GE(hookStamps.size(), 70u);
  EXPECT_TRUE(hookPicturesRight);
  EXPECT_TRUE(std::is_sorted(hookStamps.begin(), hookStamps.end()));
  ASSERT_FALSE(hookStamps.empty());
  EXPECT_LT(hookStamps.front(), kSecond / 10);
}

TEST_F(PlayerTest, SeekMovesThePositionAndIsClampedAtTheEnd) {
  ASSERT_TRUE(Player.Open(Wide(LongClip()), 0)) << Player.LastErrMsg();
  ASSERT_TRUE(WaitUntil([&] { return Recorder.LastPosition() > kSecond / 5; }, 3));
  const int64_t target = Recorder.Duration * 6 / 10;
  Player.Seek(target);
  ASSERT_TRUE(WaitUntil([&] { return Recorder.LastPosition() >= target - kSecond; }, 1.5))
      << "still at " << Recorder.LastPosition();
  Wait(0.3);
  EXPECT_NEAR(Recorder.LastPosition(), target + kSecond * 3 / 10, kSecond);
  EXPECT_FALSE(Recorder.Has(psEnd));

  // Beyond the end: the end of the file, at once (the rest would take 3 s).
  Player.Seek(100 * kSecond);
  EXPECT_TRUE(WaitUntil([&] { return Recorder.Has(psEnd); }, 1.5));
  Player.Stop(true);
}

TEST_F(PlayerTest, AnamorphicPictureIsShownAtFourToThree) {
  Player.SetScreenWidth(640);
  Player.SetScreenHeight(360);
  ASSERT_TRUE(Player.Open(Wide(AnamorphicClip()), 0)) << Player.LastErrMsg();
  ASSERT_TRUE(WaitUntil([&] { return Player.PictureRect().Width > 0; }, 2));
  TDisplayRect rect = Player.PictureRect();
  EXPECT_EQ(rect.Left, 80);
  EXPECT_EQ(rect.Top, 0);
  EXPECT_EQ(rect.Width, 480);
  EXPECT_EQ(rect.Height, 360);

  Player.SetAspectRatio(-1);
  EXPECT_TRUE(WaitUntil([&] { return Player.PictureRect().Width == 640; }, 1));
  rect = Player.PictureRect();
  EXPECT_EQ(rect.Left, 0);
  EXPECT_EQ(rect.Height, 360);
  Player.SetAspectRatio(2.0f);
  EXPECT_TRUE(WaitUntil([&] { return Player.PictureRect().Height == 320; }, 1));
  EXPECT_EQ(Player.PictureRect().Top, 20);
  Player.Stop(true);
}

TEST_F(PlayerTest, APhoneRecordingIsShownUpright) {
  // Stored 640x360 and marked to be turned a quarter: shown 360x640.
  testmedia::ClipSpec spec;
  spec.container = "mp4";
  spec.width = 360;
  spec.height = 640;
  spec.rotation = 90;
  spec.durationSec = 1;
  Player.SetScreenWidth(640);
  Player.SetScreenHeight(360);
  ASSERT_TRUE(Player.Open(Wide(testmedia::CachedClip(spec)), 0)) << Player.LastErrMsg();
  ASSERT_TRUE(WaitUntil([&] { return Player.PictureRect().Width > 0; }, 2));
  const TDisplayRect rect = Player.PictureRect();
  EXPECT_EQ(rect.Height, 360);
  EXPECT_EQ(rect.Width, 202);
  EXPECT_EQ(rect.Left, 219);
  Player.Stop(true);
}

TEST_F(PlayerTest, SecondOpenStopsTheFirst) {
  const int threads = ThreadCount();
  ASSERT_TRUE(Player.Open(Wide(ToneClip()), 0)) << Player.LastErrMsg();
  ASSERT_TRUE(WaitUntil([&] { return Recorder.LastPosition() > kSecond / 5; }, 3));
  ASSERT_TRUE(Player.Open(Wide(AudioOnlyClip()), 0)) << Player.LastErrMsg();
  // The first has ended before the second started.
  std::vector<TPlayState> states = Recorder.States();
  ASSERT_GE(states.size(), 2u);
  EXPECT_EQ(states[0], psPlay);
  EXPECT_EQ(states[1], psStop);
  EXPECT_EQ(Recorder.FileOpens, 2);
  EXPECT_NEAR(Recorder.Duration, 1.5 * kSecond, kSecond / 10);
  EXPECT_EQ(Player.FileName(), Wide(AudioOnlyClip()));
  EXPECT_EQ(Player.VideoStreamIndex(), -1);
  Recorder.Positions.clear();
  EXPECT_TRUE(WaitUntil([&] { return Recorder.LastPosition() > kSecond / 2; }, 2)) << "the second does not play";
  Player.Stop(true);
  states = Recorder.States();
  EXPECT_EQ(Recorder.StateCount(psPlay), 2);
  EXPECT_EQ(Recorder.StateCount(psStop), 2);
  EXPECT_EQ(states.back(), psStop);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(PlayerTest, AudioOnlyFileShowsTheWaveform) {
  ASSERT_TRUE(Player.Open(Wide(AudioOnlyClip()), 0)) << Player.LastErrMsg();
  EXPECT_TRUE(Player.WaveformShown());
  EXPECT_EQ(Player.VideoStreamIndex(), -1);
  EXPECT_EQ(Player.AudioStreamIndex(), 0);
  EXPECT_EQ(Recorder.FrameWidth, -1);
  EXPECT_EQ(Recorder.FrameHeight, -1);
  // The position comes from the audio clock.
  EXPECT_TRUE(WaitUntil([&] { return Recorder.LastPosition() > kSecond / 2; }, 2));
  Player.Stop(true);

  // No display: no waveform either, and the sound still plays.
  Player.SetDisableDisplay(true);
  ASSERT_TRUE(Player.Open(Wide(AudioOnlyClip()), 0)) << Player.LastErrMsg();
  EXPECT_FALSE(Player.WaveformShown());
  EXPECT_TRUE(WaitUntil([&] { return Recorder.Has(psEnd); }, 3));
  Wait(0.2);
  Player.Stop(true);
  EXPECT_NEAR(AnalyseTone(ReadDiskAudio(), kChannels, kRate).Seconds, 1.5, 0.1);
  EXPECT_FALSE(Player.DisableVideo()) << "DisableDisplay changed the DisableVideo property";
}

TEST_F(PlayerTest, FailedOpensGiveTheirTextsAndLeaveNoThread) {
  const TTempFolder folder("vidmill-player-bad");
  const std::string text = folder / "notes.mkv";
  testmedia::MakeTextFile(text, "this is no video at all\n");
  const std::string missing = folder / "missing.mkv";
  const int threads = ThreadCount();

  EXPECT_FALSE(Player.Open(Wide(text), 0));
  EXPECT_EQ(Player.LastErrMsg(), text + ": Unknown format");
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_FALSE(Player.Open(Wide(missing), 0));
  EXPECT_EQ(Player.LastErrMsg(), missing + ": no such file or directory");

  const std::string clip = ToneClip();
  Player.SetDisableAudio(true);
  Player.SetDisableVideo(true);
  EXPECT_FALSE(Player.Open(Wide(clip), 0));
  EXPECT_EQ(Player.LastErrMsg(), clip + ": could not open codecs, no stream to play.");

  EXPECT_FALSE(Player.Playing());
  EXPECT_TRUE(Recorder.States().empty());
  EXPECT_EQ(Recorder.FileOpens, 0);
  EXPECT_EQ(ThreadCount(), threads);
  // Open failures go to LastErrMsg only.
  for (const TRecordedLine& line : LogLines())
    EXPECT_EQ(line.Text.find("Unknown format"), std::string::npos) << line.Text;
}

}  // namespace
}  // namespace playertest
