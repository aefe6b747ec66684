#include <atomic>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"

namespace {

struct TLine {
  TObject* Sender;
  uint32_t ThreadID;
  TLogLevel Level;
  std::string Msg;
};

// A logger whose deliveries are recorded; deliveries always arrive on the
// main thread, which the recorder checks.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger = std::make_unique<TFFLogger>();
    Logger->SetLogLevel(llInfo);
    Logger->OnLog = [this](TObject* Sender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
      EXPECT_TRUE(IsMainThread());
      Lines.push_back({Sender, AThreadID, ALevel, AMsg});
    };
  }
  void TearDown() override {
    Logger->SetLogLevel(llInfo);
    Logger.reset();
  }

  static void Lib(void* AContext, int ALevel, const char* AFormat, ...) {
    va_list args;
    va_start(args, AFormat);
    TFFLogger::LibraryLogCallback(AContext, ALevel, AFormat, args);
    va_end(args);
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (auto& l : Lines) out.push_back(l.Msg);
    return out;
  }

  std::unique_ptr<TFFLogger> Logger;
  std::vector<TLine> Lines;
};

const char* FakeItemName(void*) { return "fake"; }

struct TFakeContext {
  const AVClass* Class;
};

AVClass MakeFakeClass() {
  AVClass cls{};
  cls.class_name = "fake";
  cls.item_name = FakeItemName;
  return cls;
}

}  // namespace

TEST(LogLevels, ConvertBothWays) {
  const int av[] = {-8, 0, 8, 16, 24, 32, 40, 48};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(LogLevelToAV(static_cast<TLogLevel>(i)), av[i]);
    EXPECT_EQ(AVToLogLevel(av[i]), static_cast<TLogLevel>(i));
  }
  EXPECT_EQ(AVToLogLevel(-1), llPanic);
  EXPECT_EQ(AVToLogLevel(-7), llPanic);
  EXPECT_EQ(AVToLogLevel(-9), llQuiet);  // -9 div 8 truncates to -1
  EXPECT_EQ(AVToLogLevel(-16), llQuiet);
  EXPECT_EQ(AVToLogLevel(-100), llQuiet);
  EXPECT_EQ(AVToLogLevel(20), llError);
  EXPECT_EQ(AVToLogLevel(56), llDebug);
  EXPECT_EQ(AVToLogLevel(1000), llDebug);
}

TEST_F(LoggerTest, LevelByName) {
  Logger->SetLogLevelByName("WARNING");
  EXPECT_EQ(Logger->LogLevel(), llWarning);
  Logger->SetLogLevelByName("Debug");
  EXPECT_EQ(Logger->LogLevel(), llDebug);
  Logger->SetLogLevelByName("20");
  EXPECT_EQ(Logger->LogLevel(), llError);
  Logger->SetLogLevelByName("-100");
  EXPECT_EQ(Logger->LogLevel(), llQuiet);
  EXPECT_THROW(Logger->SetLogLevelByName("loud"), EConvertError);
  EXPECT_EQ(Logger->LogLevel(), llQuiet);  // a failed name changes nothing
  Logger->SetLogLevel(llError);
  EXPECT_EQ(GetAVLogLevel(), 16);
}

TEST_F(LoggerTest, LogFiltersByLevelWithVerboseAndQuietRules) {
  Logger->SetLogLevel(llError);
  Logger->Log(nullptr, llVerbose, "verbose passes unless quiet");
  Logger->Log(nullptr, llInfo, "info is filtered");
  Logger->Log(nullptr, llError, "error passes");
  Logger->SetLogLevel(llQuiet);
  Logger->Log(nullptr, llVerbose, "verbose filtered at quiet");
  Logger->Log(nullptr, llQuiet, "quiet always passes");
  EXPECT_THAT(Messages(), ::testing::ElementsAre("verbose passes unless quiet", "error passes", "quiet always passes"));
}

TEST_F(LoggerTest, LogDeliversTheTextWholeWithSenderAndThread) {
  TObject sender;
  Logger->Log(&sender, llInfo, "two\nlines");
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].Msg, "two\nlines");
  EXPECT_EQ(Lines[0].Sender, &sender);
  EXPECT_EQ(Lines[0].ThreadID, CurrentThreadId());
  EXPECT_EQ(Lines[0].Level, llInfo);
}

TEST_F(LoggerTest, NoHandlerMeansNoDeliveryButLinesStillAssemble) {
  auto handler = Logger->OnLog;
  Logger->OnLog = nullptr;
  Logger->Log(nullptr, llQuiet, "dropped");
  Lib(nullptr, AV_LOG_INFO, "first half, ");
  Logger->OnLog = handler;
  Lib(nullptr, AV_LOG_INFO, "second half\n");
  EXPECT_THAT(Messages(), ::testing::ElementsAre("first half, second half"));
}

TEST_F(LoggerTest, PartialMessagesJoinAndOnlyTheFirstGetsThePrefix) {
  AVClass cls = MakeFakeClass();
  TFakeContext ctx{&cls};
  Lib(&ctx, AV_LOG_WARNING, "Stream %d ", 3);
  Lib(&ctx, AV_LOG_ERROR, "is broken\n");
  ASSERT_EQ(Lines.size(), 1u);
  char expected[128];
  std::snprintf(expected, sizeof expected, "[fake @ %p]Stream 3 is broken", static_cast<void*>(&ctx));
  EXPECT_EQ(Lines[0].Msg, expected);
  EXPECT_EQ(Lines[0].Level, llError);  // the level of the message that completed the line
  EXPECT_EQ(Lines[0].Sender, Logger.get());
}

TEST_F(LoggerTest, LinesAreCutAtLineFeedsAndTheRestStaysPending) {
  Lib(nullptr, AV_LOG_INFO, "one\n\nthree");
  EXPECT_THAT(Messages(), ::testing::ElementsAre("one", ""));
  Lib(nullptr, AV_LOG_INFO, " continued\n");
  EXPECT_THAT(Messages(), ::testing::ElementsAre("one", "", "three continued"));
}

TEST_F(LoggerTest, LibraryLevelFilterDropsWithoutPending) {
  Logger->SetLogLevel(llWarning);
  Lib(nullptr, AV_LOG_INFO, "filtered, never pending ");
  Lib(nullptr, AV_LOG_WARNING, "kept\n");
  EXPECT_THAT(Messages(), ::testing::ElementsAre("kept"));
}

TEST_F(LoggerTest, LongTextIsCutIntoPiecesThatFitTheLineBuffer) {
  std::string big(5000, 'x');
  Lib(nullptr, AV_LOG_INFO, "%s\n", big.c_str());
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[0].Msg.size(), kMaxLogLineBytes);
  EXPECT_EQ(Lines[1].Msg.size(), kMaxLogLineBytes);
  EXPECT_EQ(Lines[2].Msg.size(), 5000 - 2 * kMaxLogLineBytes);

  // Pending text that keeps growing without a line feed is cut as well.
  Lines.clear();
  std::string part(1500, 'y');
  Lib(nullptr, AV_LOG_INFO, "%s", part.c_str());
  Lib(nullptr, AV_LOG_INFO, "%s", part.c_str());
  Lib(nullptr, AV_LOG_INFO, "%s", part.c_str());
  Lib(nullptr, AV_LOG_INFO, "\n");
  size_t total = 0;
  for (auto& l : Lines) {
    EXPECT_LE(l.Msg.size(), kMaxLogLineBytes);
    total += l.Msg.size();
  }
  EXPECT_EQ(total, 4500u);
  EXPECT_EQ(Lines.size(), 3u);
}

TEST_F(LoggerTest, CutsDoNotSplitCharacters) {
  std::string chinese;
  for (int i = 0; i < 1000; ++i) chinese += "转";  // 3 bytes each
  Lib(nullptr, AV_LOG_INFO, "%s\n", chinese.c_str());
  ASSERT_GE(Lines.size(), 2u);
  std::string joined;
  for (auto& l : Lines) {
    EXPECT_TRUE(IsValidUtf8(l.Msg));
    EXPECT_LE(l.Msg.size(), kMaxLogLineBytes);
    joined += l.Msg;
  }
  EXPECT_EQ(joined, chinese);
}

TEST_F(LoggerTest, InterleavedThreadsKeepTheirLinesWhole) {
  // Two workers write a line in many small parts each, alternating strictly,
  // while the main thread serves their deliveries.
  std::atomic<int> turn{0};
  std::atomic<int> finished{0};
  uint32_t ids[2] = {0, 0};
  auto worker = [&](int me) {
    ids[me] = CurrentThreadId();
    for (int part = 0; part < 20; ++part) {
      while (turn.load() % 2 != me) std::this_thread::yield();
      Lib(nullptr, AV_LOG_INFO, "%c%d", me == 0 ? 'a' : 'b', part % 10);
      ++turn;
    }
    Lib(nullptr, AV_LOG_INFO, "\n");
    ++finished;
  };
  std::thread t0(worker, 0), t1(worker, 1);
  WaitServing([&] { return finished.load() == 2; });
  t0.join();
  t1.join();
  ASSERT_EQ(Lines.size(), 2u);
  std::string a, b;
  for (int part = 0; part < 20; ++part) {
    a += 'a' + std::to_string(part % 10);
    b += 'b' + std::to_string(part % 10);
  }
  for (auto& l : Lines) {
    if (l.ThreadID == ids[0])
      EXPECT_EQ(l.Msg, a);
    else if (l.ThreadID == ids[1])
      EXPECT_EQ(l.Msg, b);
    else
      ADD_FAILURE() << "line from an unknown thread";
  }
}

TEST_F(LoggerTest, WorkerLogWaitsForTheMainThread) {
  std::atomic<bool> returned{false};
  uint32_t workerId = 0;
  TThread worker;
  worker.Start([&] {
    workerId = CurrentThreadId();
    Logger->Log(nullptr, llInfo, "from worker");
    // Log returns only after the main thread ran the delivery.
    returned = !Lines.empty();
  });
  worker.WaitFor();
  EXPECT_TRUE(returned);
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].ThreadID, workerId);
}

TEST(LoggerInstance, FFLoggerInstanceReturnsTheOneLogger) {
  {
    TFFLogger own;
    EXPECT_EQ(FFLoggerInstance(), &own);
  }
  // The implicit instance lives until the process ends: make it in a child.
  EXPECT_EXIT(
      {
        TFFLogger* implicit = FFLoggerInstance();
        std::exit(implicit != nullptr && FFLoggerInstance() == implicit ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LoggerInstanceDeathTest, SecondInstanceIsRefused) {
  EXPECT_DEATH(
      {
        FFLoggerInstance();
        TFFLogger second;
      },
      "Allow creating only one instance of TFFLogger.");
}
