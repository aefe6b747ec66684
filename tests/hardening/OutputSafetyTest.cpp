// Output folders that cannot take a whole conversion: a full file system
// (a real small tmpfs where this machine lets the test mount one, and
// always a file-size limit, which fails writes the same way) and a
// read-only one. The batch must name each failure clearly, leave no partial
// file behind and still convert the files that fit.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "probe/AVProbe.h"
#include "runtime/Text.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& AText) {
  std::string quoted = "'";
  for (char c : AText) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A clip whose conversion takes 200 KB or more in each format tried, and one
// that takes about 50 KB: a 128 KB disk holds the second, not the first.
std::string LargeClip() {
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 640;
  spec.height = 480;
  spec.durationSec = 8;
  return testmedia::CachedClip(spec);
}

std::string SmallClip() {
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.width = 160;
  spec.height = 120;
  spec.durationSec = 1.5;
  return testmedia::CachedClip(spec);
}

// The stderr line "vidmill-cli: APath: reason" gives the reason, else "".
std::string ErrorOf(const TProgramRun& ARun, const std::string& APath) {
  const std::string head = "vidmill-cli: " + APath + ": ";
  for (const std::string& line : NonEmptyLines(ARun.Err))
    if (line.rfind(head, 0) == 0) return line.substr(head.size());
  return {};
}

// Whether this machine lets the test mount a tmpfs in a private mount
// namespace (root with the capability, and unshare).
bool CanMountPrivately(const fs::path& AFolder) {
  if (access("/usr/bin/unshare", X_OK) != 0) return false;
  const fs::path point = AFolder / "mount-check";
  fs::create_directories(point);
  const TProgramRun run =
      RunProgram("/usr/bin/unshare", {"-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs " + Quoted(point.string())},
                 AFolder, 20);
  return run.Status == 0;
}

// Runs the batch with AArgs in a shell that first does APrelude (a mount
// inside a private namespace when AUnshare, or a limit), then records what
// the output folder holds in "listing" and copies it to "kept" (a mounted
// folder vanishes with its namespace).
TProgramRun RunBatch(const fs::path& AFolder, const std::string& APrelude, bool AUnshare,
                     const std::vector<std::string>& AArgs) {
  const fs::path out = AFolder / "out", kept = AFolder / "kept";
  fs::create_directories(kept);
  std::string script = APrelude + " || exit 90\n" + Quoted(VIDMILL_CLI);
  for (const std::string& arg : AArgs) script += " " + Quoted(arg);
  script += "\nstatus=$?\nls -A " + Quoted(out.string()) + " > " + Quoted((AFolder / "listing").string()) + "\ncp -R " +
            Quoted(out.string()) + "/. " + Quoted(kept.string()) + " 2>/dev/null\nexit $status\n";
  if (AUnshare) return RunProgram("/usr/bin/unshare", {"-m", "sh", "-c", script}, AFolder, 300);
  return RunProgram("/bin/sh", {"-c", script}, AFolder, 300);
}

std::vector<std::string> Listing(const fs::path& AFolder) { return NonEmptyLines(ReadWholeFile(AFolder / "listing")); }

double DurationSec(const fs::path& AFile) {
  TAVProbe probe;
  probe.Enable();
  if (!probe.LoadFile(FromLocal8Bit(AFile.string()))) return -1;
  TFileStreamInfo info;
  const double seconds = probe.GetFileStreamInfo(info) ? info.Duration / 1e6 : -1;
  probe.Close();
  return seconds;
}

struct TFullDisk {
  const char* Name;
  bool Mounted;  // a real tmpfs, else a file-size limit
};

}  // namespace

// The large file fills the disk first (one job at a time): it fails with
// the system's reason and is removed; the small one after it converts.
TEST(OutputSafety, AFullDiskFailsTheFileItFilledRemovesItAndTheNextFileStillConverts) {
  const std::string large = LargeClip(), small = SmallClip();
  for (const TFullDisk& disk : {TFullDisk{"file-size limit", false}, TFullDisk{"full tmpfs", true}}) {
    for (const char* format : {"mp4", "avi", "flv"}) {
      SCOPED_TRACE(std::string(disk.Name) + ", " + format);
      TTempFolder temp("vidmill-output-safety");
      const fs::path out = temp.Path() / "out";
      fs::create_directories(out);
      std::string prelude;
      if (disk.Mounted) {
        if (!CanMountPrivately(temp.Path())) {
          std::printf("no private tmpfs on this machine: only the file-size limit is tried\n");
          break;
        }
        prelude = "mount -t tmpfs -o size=128k tmpfs " + Quoted(out.string());
      } else {
        // 512-byte blocks; a write beyond the limit fails instead of
        // ending the program, as on a full disk.
        prelude = "trap '' XFSZ; ulimit -f 256";
      }
      const TProgramRun run = RunBatch(temp.Path(), prelude, disk.Mounted,
                                       {"--format", format, "--jobs", "1", "--out", out.string(), large, small});
      ASSERT_FALSE(run.TimedOut);
      ASSERT_NE(run.Status, 90) << "the test's set-up failed\n" << run.Err;
      EXPECT_EQ(run.Signal, 0) << run.Err;
      EXPECT_EQ(run.Status, 1) << "a failed file is not reported as converted\n" << run.Out << run.Err;

      const std::string reason = ErrorOf(run, large);
      EXPECT_TRUE(reason.find("No space left on device") != std::string::npos ||
                  reason.find("File too large") != std::string::npos)
          << "reason: " << reason << "\n"
          << run.Err;

      const std::string smallOutput = fs::path(small).stem().string() + "_(new)." + format;
      EXPECT_EQ(Listing(temp.Path()), std::vector<std::string>{smallOutput}) << "nothing of the large file stays";
      EXPECT_EQ(ErrorOf(run, small), "");
      EXPECT_GT(DurationSec(temp.Path() / "kept" / smallOutput), 1.2) << "the small file converted whole";
    }
  }
}

TEST(OutputSafety, AReadOnlyFolderIsRefusedWithItsReasonBeforeAnythingStarts) {
  const std::string small = SmallClip();
  TTempFolder temp("vidmill-output-safety");
  const fs::path out = temp.Path() / "out";
  fs::create_directories(out);
  std::string prelude = "true";
  bool mounted = false;
  if (CanMountPrivately(temp.Path())) {
    prelude = "mount -t tmpfs -o ro,size=64k tmpfs " + Quoted(out.string());
    mounted = true;
  } else if (geteuid() != 0) {
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec);
  } else {
    GTEST_SKIP() << "root without a private mount: no read-only folder can be made";
  }
  const TProgramRun run =
      RunBatch(temp.Path(), prelude, mounted, {"--format", "mp4", "--jobs", "2", "--out", out.string(), small, small});
  ASSERT_FALSE(run.TimedOut);
  ASSERT_NE(run.Status, 90) << "the test's set-up failed\n" << run.Err;
  // A refused command line: one line with the folder and the system's reason.
  EXPECT_EQ(run.Status, 2) << run.Err;
  const std::string reason = mounted ? "Read-only file system" : "Permission denied";
  EXPECT_NE(run.Err.find("cannot write into the output folder " + out.string() + ": " + reason), std::string::npos)
      << run.Err;
  EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
  EXPECT_TRUE(Listing(temp.Path()).empty());
}
