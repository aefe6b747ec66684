// The corrupt-media corpus (tests/media MakeCorruptCorpus) through the three
// readers of the product: the probe, the vidmill-cli batch and the preview
// player. Each file either works or fails with a clear message; nothing
// crashes, nothing hangs (a watchdog ends the process with the file's name
// when a bound is passed), and no thread is left behind.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "player/FFPlay.h"
#include "probe/AVProbe.h"
#include "runtime/FFUtils.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point AStart) { return std::chrono::duration<double>(TClock::now() - AStart).count(); }

// The corpus, made once per process.
const std::vector<testmedia::CorpusFile>& Corpus() {
  static TTempFolder folder("vidmill-corpus");
  static const std::vector<testmedia::CorpusFile> corpus = testmedia::MakeCorruptCorpus(folder.Path().string());
  return corpus;
}

// Two good clips that a batch over the corpus must still convert.
std::vector<std::string> GoodClips() {
  testmedia::ClipSpec avi;
  avi.container = "avi";
  avi.width = 160;
  avi.height = 120;
  avi.durationSec = 1.5;
  testmedia::ClipSpec mkv = avi;
  mkv.container = "mkv";
  return {testmedia::CachedClip(avi), testmedia::CachedClip(mkv)};
}

constexpr double kProbeBoundSec = 10;
constexpr double kCliBoundSec = 120;
constexpr double kPlayBoundSec = 1.0;     // play at most this long
constexpr double kPlayerOpBoundSec = 10;  // Open and Stop each

// ---- The probe ----

TEST(CorruptCorpus, TheProbeLoadsEachFileOrSaysWhyNot) {
  TWatchdog watchdog;
  int failed = 0;
  for (const testmedia::CorpusFile& file : Corpus()) {
    SCOPED_TRACE(file.path + " (" + file.description + ")");
    const auto start = TClock::now();
    watchdog.Arm("the probe on " + file.path, kProbeBoundSec);
    TAVProbe probe;
    probe.Enable();
    const bool loaded = probe.LoadFile(FromLocal8Bit(file.path));
    if (loaded) {
      // What a caller does next with a loaded file must hold as well.
      TFileStreamInfo info;
      probe.GetFileStreamInfo(info);
      EXPECT_GE(probe.StreamCount(), 0);
      EXPECT_FALSE(probe.InfoText().empty());
      probe.Close();
    } else {
      ++failed;
      EXPECT_FALSE(probe.LastErrMsg().empty()) << "a failed load without a reason";
    }
    watchdog.Disarm();
    EXPECT_LT(SecondsSince(start), kProbeBoundSec);
    if (file.unreadable) {
      EXPECT_FALSE(loaded) << "an unreadable file was loaded";
    }
  }
  EXPECT_GE(failed, 2) << "the corpus holds at least the empty and the text file";
  std::printf("probe: %zu files, %d refused\n", Corpus().size(), failed);
}

// ---- The command-line batch ----

using TCliRun = TProgramRun;

// vidmill-cli with AArgs, killed and reported TimedOut after ABoundSec.
TCliRun RunCli(const std::vector<std::string>& AArgs, const fs::path& AFolder, double ABoundSec) {
  return RunProgram(VIDMILL_CLI, AArgs, AFolder, ABoundSec);
}

// The text after "PATH: " on the stderr line that names APath
// ("vidmill-cli: PATH: reason"), empty if no line names it.
std::string ErrorOf(const std::string& AErr, const std::string& APath) {
  for (const std::string& line : NonEmptyLines(AErr)) {
    const size_t at = line.find(APath + ": ");
    if (at != std::string::npos) {
      const std::string reason = line.substr(at + APath.size() + 2);
      return reason.empty() ? std::string("(no message)") : reason;
    }
  }
  return {};
}

TEST(CorruptCorpus, TheBatchReportsEachBadFileAndStillConvertsTheGoodOnes) {
  TTempFolder temp("vidmill-corpus-cli");
  const fs::path outDir = temp.Path() / "out";
  fs::create_directories(outDir);
  // The good clips go first and last, so that the bad ones run beside them.
  std::vector<std::string> good;
  const std::vector<std::string> goodSources = GoodClips();
  for (size_t i = 0; i < goodSources.size(); ++i) {
    const fs::path link = temp.Path() / ("good-" + std::to_string(i) + fs::path(goodSources[i]).extension().string());
    fs::create_symlink(goodSources[i], link);
    good.push_back(link.string());
  }
  std::vector<std::string> args = {"--format", "mp4", "--jobs", "2", "--out", outDir.string() + "/", good[0]};
  for (const testmedia::CorpusFile& file : Corpus()) args.push_back(file.path);
  args.push_back(good[1]);

  const TCliRun run = RunCli(args, temp.Path(), kCliBoundSec);
  ASSERT_FALSE(run.TimedOut) << "the batch did not end within " << kCliBoundSec << " s\n" << run.Err;
  EXPECT_EQ(run.Signal, 0) << "vidmill-cli crashed\n" << run.Err;
  EXPECT_EQ(run.Status, 1) << run.Err;
  const std::vector<std::string> printed = NonEmptyLines(run.Out);
  auto outputOf = [&](const std::string& ASource) {
    return (outDir / (fs::path(ASource).stem().string() + "_(new).mp4")).string();
  };
  auto isPrinted = [&](const std::string& APath) {
    return std::find(printed.begin(), printed.end(), APath) != printed.end();
  };

  size_t reported = 0;
  for (const testmedia::CorpusFile& file : Corpus()) {
    SCOPED_TRACE(file.path + " (" + file.description + ")");
    const std::string error = ErrorOf(run.Err, file.path);
    const std::string output = outputOf(file.path);
    const bool converted = isPrinted(output);
    EXPECT_NE(converted, !error.empty()) << "either converted or reported, once\n" << run.Err << run.Out;
    if (!error.empty()) {
      ++reported;
      EXPECT_NE(error, "(no message)");
      EXPECT_FALSE(fs::exists(output)) << "a failed file left an output behind";
    }
    if (converted) {
      // What was converted of a damaged file is a readable file.
      TAVProbe probe;
      probe.Enable();
      EXPECT_TRUE(probe.LoadFile(FromLocal8Bit(output))) << probe.LastErrMsg();
      probe.Close();
    }
    if (file.unreadable) {
      EXPECT_FALSE(error.empty()) << "an unreadable file is not reported";
    }
  }
  EXPECT_GE(reported, 2u);
  std::printf("batch: %zu corrupt files, %zu reported, %.1f s\n", Corpus().size(), reported, run.Seconds);

  for (const std::string& clip : good) {
    SCOPED_TRACE(clip);
    const std::string output = outputOf(clip);
    EXPECT_TRUE(ErrorOf(run.Err, clip).empty()) << run.Err;
    EXPECT_TRUE(isPrinted(output)) << run.Out;
    TAVProbe probe;
    probe.Enable();
    ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(output))) << probe.LastErrMsg();
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    TFileStreamInfo info;
    ASSERT_TRUE(probe.GetFileStreamInfo(info));
    EXPECT_GT(info.Duration, 1200000) << "most of the 1.5 s clip";
    probe.Close();
  }
}

// ---- The player ----

class TStateLog {
 public:
  explicit TStateLog(TFFPlayer& APlayer) {
    APlayer.OnState = [this](TObject*, TPlayState AState) {
      if (AState == psEnd) FEnded = true;
      if (AState == psPlay) ++FPlays;
      if (AState == psStop) ++FStops;
    };
  }
  void Reset() {
    FEnded = false;
    FPlays = 0;
    FStops = 0;
  }
  bool Ended() const { return FEnded; }
  int Plays() const { return FPlays; }
  int Stops() const { return FStops; }

 private:
  std::atomic<bool> FEnded{false};
  std::atomic<int> FPlays{0}, FStops{0};
};

int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Serves the hand-over queue until APredicate holds or ASeconds have passed.
bool WaitUntil(const std::function<bool()>& APredicate, double ASeconds) {
  const auto deadline = TClock::now() + std::chrono::duration<double>(ASeconds);
  bool done = false;
  WaitServing([&] {
    done = APredicate();
    return done || TClock::now() >= deadline;
  });
  return done;
}

TEST(CorruptCorpus, ThePlayerPlaysOrRefusesEachFileAndLeavesNoThread) {
  TTempFolder temp("vidmill-corpus-player");
  // Before SDL starts: no sound card, no display.
  const std::string audioFile = (temp.Path() / "audio.raw").string();
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", audioFile.c_str(), 1);
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  const std::vector<testmedia::CorpusFile>& corpus = Corpus();
  const std::vector<std::string> good = GoodClips();

  TWatchdog watchdog;
  TFFPlayer player;
  ASSERT_TRUE(player.LoadAVLib(ModuleDir() + u"LibAV")) << player.LastErrMsg();
  TStateLog states(player);
  // A good clip first: what SDL keeps for the process once started is not
  // counted as left behind.
  watchdog.Arm("the player on " + good[0], kPlayerOpBoundSec);
  ASSERT_TRUE(player.Open(FromLocal8Bit(good[0]), 0)) << player.LastErrMsg();
  WaitUntil([] { return false; }, 0.3);
  player.Stop(true);
  watchdog.Disarm();
  const int threads = ThreadCount();

  int refused = 0, ended = 0;
  for (const testmedia::CorpusFile& file : corpus) {
    SCOPED_TRACE(file.path + " (" + file.description + ")");
    states.Reset();
    watchdog.Arm("Open in the player of " + file.path, kPlayerOpBoundSec);
    const bool opened = player.Open(FromLocal8Bit(file.path), 0);
    watchdog.Disarm();
    if (!opened) {
      ++refused;
      const std::string message = player.LastErrMsg();
      EXPECT_EQ(message.rfind(file.path + ": ", 0), 0u) << message;
      EXPECT_GT(message.size(), file.path.size() + 2) << message;
      EXPECT_FALSE(player.Playing());
    } else {
      EXPECT_FALSE(file.unreadable) << "an unreadable file was opened";
      if (WaitUntil([&] { return states.Ended(); }, kPlayBoundSec)) ++ended;
      watchdog.Arm("Stop in the player of " + file.path, kPlayerOpBoundSec);
      const auto start = TClock::now();
      player.Stop(true);
      watchdog.Disarm();
      EXPECT_LT(SecondsSince(start), kPlayerOpBoundSec);
      EXPECT_FALSE(player.Playing());
      EXPECT_EQ(states.Plays(), 1);
      EXPECT_EQ(states.Stops(), 1);
    }
    EXPECT_EQ(ThreadCount(), threads) << "a thread was left behind";
  }

  std::printf("player: %zu files, %d refused, %d played to their end within %.0f s\n", corpus.size(), refused, ended,
              kPlayBoundSec);

  // The player still plays a good file after the corpus.
  states.Reset();
  watchdog.Arm("the player on " + good[1], kPlayerOpBoundSec);
  ASSERT_TRUE(player.Open(FromLocal8Bit(good[1]), 0)) << player.LastErrMsg();
  EXPECT_TRUE(WaitUntil([&] { return states.Ended(); }, 4)) << "the good clip did not play to its end";
  player.Stop(true);
  watchdog.Disarm();
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
