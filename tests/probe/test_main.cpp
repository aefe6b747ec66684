// Test entry of the probe suite: loads the media libraries from "LibAV"
// beside the test binary, records every log line, and makes this thread the
// main thread of the hand-over.
#include <clocale>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "tests/support/RecordedLog.h"

class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
    ASSERT_TRUE(FFmpegLoader().LoadLibs(kConverterLibraries)) << FFmpegLoader().LastError();
  }
};

int main(int argc, char** argv) {
  // Tests run in a UTF-8 locale unless they switch to another one themselves.
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  // The process's logger, before the loader installs its library callback.
  TFFLogger logger;
  RecordLogLines(logger);
  ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
