// vidmill-cli end to end: the built program converts generated clips of many
// containers into each of the seven formats, reports failures with their
// reasons and a non-zero status, and never overwrites an earlier output.

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include "probe/AVProbe.h"
#include "runtime/Text.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

using TCliRun = TProgramRun;

TCliRun RunCli(const std::vector<std::string>& AArgs, const fs::path& AFolder) {
  return RunProgram(VIDMILL_CLI, AArgs, AFolder);
}

std::string ReadFile(const fs::path& APath) { return ReadWholeFile(APath); }

testmedia::ClipSpec Small(const std::string& AContainer) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = 2.0;
  return spec;
}

struct TFormat {
  std::string Name;     // --format
  std::string Suffix;   // of the planned name
  std::string Demuxer;  // a word of the probe's format name
};

const std::vector<TFormat> kFormats = {
    {"3gp", ".3gp", "3gp"},           {"mp4", ".mp4", "mp4"}, {"avi", ".avi", "avi"}, {"vcd", "_vcd_auto.mpg", "mpeg"},
    {"dvd", "_dvd_auto.mpg", "mpeg"}, {"flv", ".flv", "flv"}, {"wmv", ".wmv", "asf"},
};

}  // namespace

TEST(CliRun, ConvertsClipsOfEveryContainerToEachFormat) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path sources = temp.Path() / "sources";
  fs::create_directories(sources);
  struct TSource {
    fs::path Path;
    bool Video, Audio;
  };
  std::vector<TSource> clips;
  for (const char* container : {"avi", "mp4", "mkv", "mpg", "flv", "wmv", "3gp", "mov", "ts", "ogg", "wav", "mp3"}) {
    const testmedia::ClipSpec spec = Small(container);
    const testmedia::ResolvedSpec resolved = testmedia::Resolve(spec);
    const fs::path link = sources / (std::string("clip-") + container + resolved.extension);
    fs::create_symlink(testmedia::CachedClip(spec), link);
    clips.push_back({link, resolved.video, resolved.audio});
  }

  for (const TFormat& format : kFormats) {
    SCOPED_TRACE(format.Name);
    const fs::path out = temp.Path() / ("out-" + format.Name);
    fs::create_directories(out);
    // The disc targets take their TV norm from the source's frame rate;
    // without a picture there is none, and the target refuses the output.
    const bool disc = format.Name == "vcd" || format.Name == "dvd";
    std::vector<std::string> args = {"--format", format.Name, "--out", out.string() + "/", "--jobs", "2"};
    size_t expectedOutputs = 0;
    for (const TSource& clip : clips) {
      args.push_back(clip.Path.string());
      if (!disc || clip.Video) ++expectedOutputs;
    }
    const TCliRun run = RunCli(args, temp.Path());
    EXPECT_EQ(run.Status, disc ? 1 : 0) << run.Err;
    const std::vector<std::string> lines = run.OutLines();
    EXPECT_EQ(lines.size(), expectedOutputs) << run.Out;

    for (const TSource& clip : clips) {
      if (disc && !clip.Video) {
        EXPECT_NE(run.Err.find(clip.Path.string() + ": cannot convert: frame_rate is invalid."), std::string::npos)
            << run.Err;
        continue;
      }
      const fs::path expected = out / (clip.Path.stem().string() + "_(new)" + format.Suffix);
      SCOPED_TRACE(expected.string());
      EXPECT_NE(std::find(lines.begin(), lines.end(), expected.string()), lines.end()) << "its path is printed";
      TAVProbe probe;
      probe.Enable();
      ASSERT_TRUE(probe.LoadFile(FromLocal8Bit(expected.string()))) << probe.LastErrMsg();
      const std::string info = probe.InfoText();
      const size_t nameAt = info.find("Format Name: ");
      ASSERT_NE(nameAt, std::string::npos);
      const std::string demuxer = info.substr(nameAt, info.find('\n', nameAt) - nameAt);
      EXPECT_NE(demuxer.find(format.Demuxer), std::string::npos) << demuxer;
      EXPECT_EQ(probe.VideoStreamCount(), clip.Video ? 1 : 0);
      EXPECT_EQ(probe.AudioStreamCount(), clip.Audio ? 1 : 0);
      TFileStreamInfo fileInfo;
      ASSERT_TRUE(probe.GetFileStreamInfo(fileInfo));
      EXPECT_GT(fileInfo.Duration, 900000) << "most of the two-second clip";
      probe.Close();
    }
  }
}

TEST(CliRun, FailuresAreReportedOneByOneAndTheOthersConvert) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path good = temp.Path() / "good.avi";
  fs::copy_file(testmedia::CachedClip(Small("avi")), good);
  const fs::path corrupt = temp.Path() / "corrupt.avi";
  testmedia::MakeTextFile(corrupt.string(), "this is not a video file\n");
  const fs::path missing = temp.Path() / "missing.avi";

  const TCliRun run =
      RunCli({"--format", "mp4", "--jobs", "2", missing.string(), corrupt.string(), good.string()}, temp.Path());
  EXPECT_EQ(run.Status, 1);
  EXPECT_NE(run.Err.find(missing.string() + ": "), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find(corrupt.string() + ": "), std::string::npos) << run.Err;
  EXPECT_EQ(run.Err.find(good.string() + ": "), std::string::npos) << run.Err;
  EXPECT_EQ(run.OutLines(), std::vector<std::string>{(temp.Path() / "good_(new).mp4").string()});
  EXPECT_FALSE(fs::exists(temp.Path() / "missing_(new).mp4"));
}

TEST(CliRun, RefusedCommandLinesSayWhyOnOneLineExitWith2AndConvertNothing) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path sources = temp.Path() / "sources";
  fs::create_directories(sources);
  const fs::path good = sources / "good.avi";
  fs::copy_file(testmedia::CachedClip(Small("avi")), good);
  struct TCase {
    std::vector<std::string> Args;
    std::string Reason;  // a part of the line
  };
  // An odd size is refused on the command line and as an engine option;
  // only a source's own odd size is ever rounded. The engine's refusals come
  // before anything starts, in its words.
  const std::vector<TCase> cases = {
      {{"--foo"}, "unknown option --foo"},
      {{"--size", "100x100"}, "100x100"},
      {{"--size", "351x288"}, "351x288"},
      {{"--jobs", "0"}, "--jobs"},
      {{"--format"}, "--format needs a value"},
      {{"--out", (good / "out").string()}, "cannot create the output folder " + (good / "out").string()},
      {{"--extra", "nosuch=1"}, "--extra nosuch=1: the engine knows no option nosuch"},
      {{"--extra", "s=351x288"}, "--extra s=351x288: Frame size must be a multiple of 2"},
      {{"--extra", "b=abc"}, "Invalid value \"abc\" for option \"b\""},
      {{"--extra", "vcodec=nope"}, "--extra vcodec=nope: Unknown encoder 'nope'"},
      {{"--extra", "acodec=libx264"}, "--extra acodec=libx264: Invalid encoder type 'libx264'"},
  };
  for (const TCase& refused : cases) {
    std::vector<std::string> args = refused.Args;
    if (args.size() > 1) args.push_back(good.string());
    SCOPED_TRACE(args.front());
    const TCliRun run = RunCli(args, temp.Path());
    EXPECT_EQ(run.Status, 2);
    const std::vector<std::string> lines = NonEmptyLines(run.Err);
    ASSERT_EQ(lines.size(), 1u) << run.Err;
    const std::string& line = lines[0];
    EXPECT_EQ(line.rfind("vidmill-cli: ", 0), 0u) << line;
    EXPECT_NE(line.find(refused.Reason), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 12), "; see --help") << line;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
    EXPECT_EQ(std::distance(fs::directory_iterator(sources), fs::directory_iterator()), 1) << "only the source";
  }

  // A missing output folder is made with its parents.
  const fs::path deep = temp.Path() / "made" / "on" / "demand";
  const TCliRun made = RunCli({"--format", "mp4", "--out", deep.string(), good.string()}, temp.Path());
  EXPECT_EQ(made.Status, 0) << made.Err;
  EXPECT_TRUE(fs::exists(deep / "good_(new).mp4"));
}

TEST(CliRun, LaterRunsTakeNewNamesAndNeverOverwrite) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path source = temp.Path() / "clip.wav";
  fs::copy_file(testmedia::CachedClip(Small("wav")), source);
  const TCliRun first = RunCli({"--format", "mp4", source.string()}, temp.Path());
  ASSERT_EQ(first.Status, 0) << first.Err;
  const fs::path firstOutput = temp.Path() / "clip_(new).mp4";
  EXPECT_EQ(first.OutLines(), std::vector<std::string>{firstOutput.string()});
  const std::string firstBytes = ReadFile(firstOutput);

  // Twice the same source in one run, after the first run.
  const TCliRun second = RunCli({"--format", "mp4", "--jobs", "2", source.string(), source.string()}, temp.Path());
  ASSERT_EQ(second.Status, 0) << second.Err;
  std::vector<std::string> lines = second.OutLines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{(temp.Path() / "clip_(new_1).mp4").string(),
                                             (temp.Path() / "clip_(new_2).mp4").string()}));
  EXPECT_EQ(ReadFile(firstOutput), firstBytes) << "the first output is untouched";
}

TEST(CliRun, ProbePrintsTheInformationText) {
  TTempFolder temp("vidmill-cli-test");
  const std::string clip = testmedia::CachedClip(Small("mkv"));
  const TCliRun run = RunCli({"--probe", clip}, temp.Path());
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("matroska"), std::string::npos) << run.Out;
  // --version reads the versions of the libraries it has loaded.
  const TCliRun version = RunCli({"--version"}, temp.Path());
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out.rfind("vidmill-cli " VIDMILL_VERSION "\n", 0), 0u) << version.Out;
  EXPECT_NE(version.Out.find("\nlibavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "."), std::string::npos)
      << version.Out;
  const TCliRun missing = RunCli({"--probe", (temp.Path() / "none.mkv").string()}, temp.Path());
  EXPECT_EQ(missing.Status, 1);
  EXPECT_FALSE(missing.Err.empty());
}

TEST(CliRun, LibraryLinesStayOffTheScreenAndTheLogFileKeepsThemForAFailedRun) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path good = temp.Path() / "good.avi";
  fs::copy_file(testmedia::CachedClip(Small("avi")), good);
  const fs::path corrupt = temp.Path() / "corrupt.mp4";
  testmedia::MakeTextFile(corrupt.string(), "this is not a video file\n");

  const TCliRun quiet = RunCli({"--format", "mp4", corrupt.string(), good.string()}, temp.Path());
  EXPECT_EQ(quiet.Status, 1);
  const std::vector<std::string> lines = NonEmptyLines(quiet.Err);
  ASSERT_EQ(lines.size(), 2u) << "the failure once, and the summary: " << quiet.Err;
  EXPECT_EQ(lines[0].rfind("vidmill-cli: " + corrupt.string() + ": cannot read the file", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("1 converted, 1 failed, 0 stopped in 00:00:", 0), 0u) << lines[1];

  const fs::path log = temp.Path() / "run.log";
  const TCliRun logged = RunCli({"--format", "mp4", "--log", log.string(), corrupt.string()}, temp.Path());
  EXPECT_EQ(logged.Status, 1);
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find(" error [" + corrupt.string() + ", thread "), std::string::npos) << text;
  EXPECT_NE(text.find("moov atom not found"), std::string::npos) << text;
  EXPECT_NE(text.find(" debug "), std::string::npos) << "the whole log";
  EXPECT_NE(text.find("0 converted, 1 failed, 0 stopped in "), std::string::npos) << text;
  EXPECT_EQ(logged.Err.find("moov atom"), std::string::npos) << logged.Err;

  const TCliRun verbose = RunCli({"--format", "mp4", "--verbose", good.string()}, temp.Path());
  EXPECT_EQ(verbose.Status, 0) << verbose.Err;
  EXPECT_NE(verbose.Err.find("vidmill-cli: [" + good.string() + ", thread "), std::string::npos) << verbose.Err;
  EXPECT_EQ(verbose.Err.find(" debug "), std::string::npos);
}

TEST(CliRun, AnInterruptedBatchTellsWhereEachStoppedAndWhichNeverStarted) {
  TTempFolder temp("vidmill-cli-test");
  testmedia::ClipSpec spec = Small("mp4");
  spec.width = 640;
  spec.height = 480;
  spec.durationSec = 60;  // several seconds to convert: it is caught in the middle
  const fs::path longClip = temp.Path() / "long.mp4";
  fs::create_symlink(testmedia::CachedClip(spec), longClip);
  const fs::path first = temp.Path() / "first.avi", second = temp.Path() / "second.avi";
  fs::copy_file(testmedia::CachedClip(Small("avi")), first);
  fs::copy_file(first, second);
  const fs::path out = temp.Path() / "out";
  const fs::path partial = out / ".long_(new).mp4.part";
  bool sent = false;
  const TCliRun run = RunProgram(VIDMILL_CLI,
                                 {"--format", "mp4", "--jobs", "1", "--out", out.string() + "/", longClip.string(),
                                  first.string(), second.string()},
                                 temp.Path(), 120, [&](pid_t APid) {
                                   std::error_code ignored;
                                   if (!sent && fs::exists(partial) && fs::file_size(partial, ignored) > 200000) {
                                     kill(APid, SIGINT);
                                     sent = true;
                                   }
                                 });
  ASSERT_TRUE(sent) << run.Err;
  EXPECT_EQ(run.Status, 1) << run.Err;
  EXPECT_NE(run.Err.find("vidmill-cli: " + longClip.string() + ": stopped at 00:00:"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find(" of 00:01:00\n"), std::string::npos) << run.Err;
  for (const fs::path& waiting : {first, second})
    EXPECT_NE(run.Err.find("vidmill-cli: " + waiting.string() + ": not started\n"), std::string::npos) << run.Err;
  const std::vector<std::string> lines = NonEmptyLines(run.Err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("0 converted, 0 failed, 1 stopped, 2 not started in 00:00:", 0), 0u) << run.Err;
  EXPECT_TRUE(run.OutLines().empty()) << run.Out;
}

TEST(CliRun, ADryRunPrintsEachPlanAndWritesNothing) {
  TTempFolder temp("vidmill-cli-test");
  const fs::path sources = temp.Path() / "sources";
  fs::create_directories(sources);
  const fs::path clip = sources / "clip.avi";
  fs::copy_file(testmedia::CachedClip(Small("avi")), clip);
  // A leftover of a run killed two days ago: a real run would sweep it.
  const fs::path stale = sources / ".clip_(new).mp4.part";
  testmedia::MakeTextFile(stale.string(), "");
  fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(48));
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(temp.Path()))
      if (entry.path().filename().string().rfind("program.", 0) != 0) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> before = listing();

  // Twice the same source: the plan remembers the names it gave.
  const TCliRun same =
      RunCli({"--dry-run", "--format", "mp4", "--extra", "vb=900k", clip.string(), clip.string()}, temp.Path());
  EXPECT_EQ(same.Status, 0) << same.Err;
  const std::vector<std::string> lines = same.OutLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], clip.string() + " -> " + (sources / "clip_(new_1).mp4").string()) << "the leftover still counts";
  const std::string second = clip.string() + " -> " + (sources / "clip_(new_2).mp4").string();
  EXPECT_NE(std::find(lines.begin(), lines.end(), second), lines.end()) << same.Out;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  vb=900k"), lines.end()) << same.Out;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  pix_fmt=yuv420p"), lines.end()) << same.Out;

  const fs::path missing = temp.Path() / "not" / "made";
  const TCliRun elsewhere = RunCli({"--dry-run", "--out", missing.string(), clip.string()}, temp.Path());
  EXPECT_EQ(elsewhere.Status, 0) << elsewhere.Err;
  EXPECT_EQ(elsewhere.OutLines().at(0), clip.string() + " -> " + (missing / "clip_(new).3gp").string());
  EXPECT_EQ(listing(), before);
}
