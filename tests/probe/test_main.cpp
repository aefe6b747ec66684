#include <clocale>
#include <mutex>

#include <gtest/gtest.h>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "tests/probe/ProbeTestSupport.h"

namespace probetest {
namespace {
std::mutex gLogLock;
std::vector<TLogLine> gLogLines;
}  // namespace

std::vector<TLogLine> LoggedLines() {
  std::lock_guard<std::mutex> guard(gLogLock);
  return gLogLines;
}

void ClearLog() {
  std::lock_guard<std::mutex> guard(gLogLock);
  gLogLines.clear();
}

bool Logged(TLogLevel ALevel, const std::string& AText) {
  for (const TLogLine& line : LoggedLines())
    if (line.Level == ALevel && line.Text == AText) return true;
  return false;
}

}  // namespace probetest

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
  logger.OnLog = [](TObject*, uint32_t, TLogLevel ALevel, const std::string& AMsg) {
    std::lock_guard<std::mutex> guard(probetest::gLogLock);
    probetest::gLogLines.push_back({ALevel, AMsg});
  };
  ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
