// Test entry of the player suite: SDL plays into its disk audio driver and
// the dummy video driver, the player's libraries are loaded from "LibAV"
// beside the test binary, every log line is recorded, and this thread is
// the main thread of the hand-over.
#include <clocale>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "tests/player/PlayerTestSupport.h"
#include "tests/support/RecordedLog.h"
#include "tests/support/TempFolder.h"

namespace playertest {
namespace {
std::string gAudioFile;
}  // namespace

const std::string& DiskAudioFile() { return gAudioFile; }

}  // namespace playertest

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // The sanitizers' runtimes start a helper thread of their own with the
  // first thread of the process: one thread started and joined here keeps
  // the thread counts that tests compare exact.
  std::thread([] {}).join();
  // Before SDL reads its environment: no sound card, no display, and what
  // would be played lands in a file (paced in real time by the driver).
  const TTempFolder audioFolder("vidmill-player");
  playertest::gAudioFile = audioFolder / "played.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", playertest::gAudioFile.c_str(), 1);
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  SetMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFLogger logger;
  RecordLogLines(logger);
  FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
  if (!FFmpegLoader().LoadLibs(kPlayerLibraries)) {
    std::fprintf(stderr, "%s\n", FFmpegLoader().LastError().c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}
