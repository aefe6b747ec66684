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

namespace {
std::vector<TRecordedLine> gLines;
}

const std::vector<TRecordedLine>& LogLines() { return gLines; }
// Frees the lines and their storage, so that a test can weigh its heap.
void ClearLogLines() { std::vector<TRecordedLine>().swap(gLines); }
bool LogContains(const std::string& AText) {
  for (const TRecordedLine& line : gLines)
    if (line.Text.find(AText) != std::string::npos) return true;
  return false;
}

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();
  // The sanitizers' runtimes start a helper thread of their own with the
  // first thread of the process: one thread started and joined here keeps
  // the thread counts that tests compare exact.
  std::thread([] {}).join();
  ::testing::InitGoogleTest(&argc, argv);
  TFFLogger logger;
  logger.OnLog = [](TObject* Sender, uint32_t, TLogLevel ALevel, const std::string& AText) {
    gLines.push_back({Sender, ALevel, AText});
  };
  FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
  if (!FFmpegLoader().LoadLibs(kConverterLibraries)) {
    std::fprintf(stderr, "%s\n", FFmpegLoader().LastError().c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}
