// Test entry of the suites that run the media libraries (engine, converter,
// command line): loads them from "LibAV" beside the test binary, records
// every log line, and makes this thread the main thread of the hand-over.
#include <clocale>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Threads.h"
#include "tests/support/RecordedLog.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();
  // The sanitizers' runtimes start a helper thread of their own with the
  // first thread of the process: one thread started and joined here keeps
  // the thread counts that tests compare exact.
  std::thread([] {}).join();
  ::testing::InitGoogleTest(&argc, argv);
  TFFLogger logger;
  RecordLogLines(logger);
  FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
  if (!FFmpegLoader().LoadLibs(kConverterLibraries)) {
    std::fprintf(stderr, "%s\n", FFmpegLoader().LastError().c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}
