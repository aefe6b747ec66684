#include "runtime/FFmpegLogger.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/lib/AVUtil.h"

#include "runtime/FFUtils.h"
#include "runtime/Threads.h"

namespace {

// The library level that the log callback lets through; follows LogLevel.
std::atomic<int> gAVLogLevel{AV_LOG_INFO};

TFFLogger* gLogger = nullptr;
std::mutex gLoggerLock;  // guards gLogger and the implicit instance
std::unique_ptr<TFFLogger> gImplicitLogger;

// Text after the last line feed received from one thread.
struct TLogItem {
  uint32_t ThreadID = 0;
  std::string Pending;
};

// Items per producing thread. A thread's item goes when the thread ends: a
// batch of thousands of files starts a worker thread for each.
struct TLogList {
  std::mutex Lock;
  std::vector<std::unique_ptr<TLogItem>> Items;

  TLogItem* Add(uint32_t AThreadID) {
    std::lock_guard<std::mutex> guard(Lock);
    Items.push_back(std::make_unique<TLogItem>());
    Items.back()->ThreadID = AThreadID;
    return Items.back().get();
  }
  void Remove(const TLogItem* AItem) {
    std::lock_guard<std::mutex> guard(Lock);
    for (auto it = Items.begin(); it != Items.end(); ++it)
      if (it->get() == AItem) {
        Items.erase(it);
        return;
      }
  }
};

TLogList& LogList() {
  static TLogList* list = new TLogList;  // used by library threads until the very end
  return *list;
}

// The item of the calling thread, made on its first message and removed
// when the thread ends.
struct TThreadItem {
  TLogItem* Item = nullptr;
  ~TThreadItem() {
    if (Item) LogList().Remove(Item);
  }
};
thread_local TThreadItem tThreadItem;

TLogItem& ThreadItem(uint32_t AThreadID) {
  if (!tThreadItem.Item) tThreadItem.Item = LogList().Add(AThreadID);
  return *tThreadItem.Item;
}

// Length of the longest prefix of AText[0..ALimit) that does not end inside a
// UTF-8 sequence, so that cut pieces stay readable.
size_t Utf8CutPoint(const char* AText, size_t ALength, size_t ALimit) {
  if (ALength <= ALimit) return ALength;
  size_t cut = ALimit;
  // Step back over continuation bytes (10xxxxxx), at most three of them.
  for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(AText[cut]) & 0xC0) == 0x80; ++i) --cut;
  return cut == 0 ? ALimit : cut;
}

}  // namespace

int LogLevelToAV(TLogLevel ALevel) { return (static_cast<int>(ALevel) - 1) * 8; }

TLogLevel AVToLogLevel(int AAVLevel) {
  int ordinal = AAVLevel / 8 + 1;  // C++ division truncates toward zero
  return static_cast<TLogLevel>(Clamp(ordinal, 0, 7));
}

int GetAVLogLevel() { return gAVLogLevel.load(std::memory_order_relaxed); }

TFFLogger::TFFLogger(TObject* /*AOwner*/) {
  std::lock_guard<std::mutex> guard(gLoggerLock);
  if (gLogger != nullptr) {
    std::fprintf(stderr, "Allow creating only one instance of TFFLogger.\n");
    assert(!"Allow creating only one instance of TFFLogger.");
    std::abort();
  }
  FLogLevel = AVToLogLevel(gAVLogLevel.load());
  gLogger = this;
}

TFFLogger::~TFFLogger() {
  std::lock_guard<std::mutex> guard(gLoggerLock);
  if (gLogger == this) gLogger = nullptr;
}

void TFFLogger::SetLogLevel(TLogLevel ALevel) {
  FLogLevel = ALevel;
  gAVLogLevel.store(LogLevelToAV(ALevel));
  if (lib::av_log_set_level) lib::av_log_set_level(LogLevelToAV(ALevel));
}

void TFFLogger::SetLogLevelByName(const std::string& AName) {
  static const char* const kNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};
  int level = 0;
  bool named = false;
  for (int i = 0; i < 8; ++i) {
    if (SameText(AName, kNames[i])) {
      level = LogLevelToAV(static_cast<TLogLevel>(i));
      named = true;
      break;
    }
  }
  if (!named) level = StrToInt(AName);
  SetLogLevel(AVToLogLevel(level));
}

void TFFLogger::Log(TObject* Sender, TLogLevel ALevel, const std::string& AMsg) {
  if (!OnLog) return;
  bool passes = ALevel <= FLogLevel || (ALevel == llVerbose && FLogLevel != llQuiet);
  if (!passes) return;
  Deliver(Sender, CurrentThreadId(), ALevel, AMsg);
}

void TFFLogger::Deliver(TObject* Sender, uint32_t AThreadID, TLogLevel ALevel, const std::string& AMsg) {
  // The values travel with the call; the delivery fields are filled on the
  // main thread just before the event, so every event call carries the
  // values of one message. No lock is held while waiting for the main
  // thread: the main thread may itself be logging.
  RunInMainThread([&] {
    {
      // The logger may have gone while the call waited for the main thread.
      std::lock_guard<std::mutex> guard(gLoggerLock);
      if (gLogger != this) return;
    }
    FLogSender = Sender;
    FLogThreadID = AThreadID;
    FLogMsgLevel = ALevel;
    FLogMsg = AMsg;
    DoLog();
  });
}

void TFFLogger::DoLog() {
  if (OnLog) OnLog(FLogSender, FLogThreadID, FLogMsgLevel, FLogMsg);
}

void TFFLogger::InstallLogCallback() {
  assert(lib::av_log_set_callback != nullptr);
  if (lib::av_log_set_callback) lib::av_log_set_callback(&TFFLogger::LibraryLogCallback);
}

namespace {
thread_local int gLibraryLogMutes = 0;
}  // namespace

TLibraryLogMute::TLibraryLogMute() { ++gLibraryLogMutes; }
TLibraryLogMute::~TLibraryLogMute() { --gLibraryLogMutes; }

void TFFLogger::LibraryLogCallback(void* AAVClassContext, int ALevel, const char* AFormat, va_list AArgs) {
  if (ALevel > gAVLogLevel.load(std::memory_order_relaxed) || gLibraryLogMutes > 0) return;

  const uint32_t threadId = CurrentThreadId();
  TLogItem& item = ThreadItem(threadId);  // only this thread touches its item's text

  // Assemble prefix (or the pending text) and the message in the line buffer;
  // a message that does not fit is formatted again into a larger buffer.
  char buffer[2048];
  buffer[0] = '\0';
  size_t used = 0;
  if (AAVClassContext != nullptr && item.Pending.empty()) {
    const AVClass* cls = *static_cast<const AVClass* const*>(AAVClassContext);
    const char* name = (cls && cls->item_name) ? cls->item_name(AAVClassContext) : "";
    int n = std::snprintf(buffer, sizeof buffer, "[%s @ %p]", name ? name : "", AAVClassContext);
    used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buffer - 1);
  }
  std::string text;  // used only when the line buffer is too small
  va_list args;
  va_copy(args, AArgs);
  if (!item.Pending.empty()) {
    // The pending text never exceeds one line piece, so it fits the buffer.
    std::memcpy(buffer, item.Pending.data(), item.Pending.size());
    used = item.Pending.size();
    buffer[used] = '\0';
  }
  int n = std::vsnprintf(buffer + used, sizeof buffer - used, AFormat ? AFormat : "", args);
  va_end(args);
  const char* all = buffer;
  size_t length = used;
  if (n > 0) {
    if (static_cast<size_t>(n) < sizeof buffer - used) {
      length = used + static_cast<size_t>(n);
    } else {
      text.assign(buffer, used);
      text.resize(used + static_cast<size_t>(n) + 1);
      va_copy(args, AArgs);
      std::vsnprintf(text.data() + used, static_cast<size_t>(n) + 1, AFormat, args);
      va_end(args);
      text.resize(used + static_cast<size_t>(n));
      all = text.data();
      length = text.size();
    }
  }

  const TLogLevel level = AVToLogLevel(ALevel);
  TFFLogger* logger;
  {
    std::lock_guard<std::mutex> guard(gLoggerLock);
    logger = gLogger;
  }
  auto deliver = [&](const char* AStart, size_t ALength) {
    if (logger && logger->OnLog) logger->Deliver(logger, threadId, level, std::string(AStart, ALength));
  };

  // Whole lines are delivered; each line longer than a piece is cut.
  size_t start = 0;
  for (;;) {
    const void* lf = std::memchr(all + start, '\n', length - start);
    size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - all) : length;
    // Cut overlong text into pieces; a line's last piece is delivered only
    // when its line feed has arrived.
    while (end - start > kMaxLogLineBytes) {
      size_t piece = Utf8CutPoint(all + start, end - start, kMaxLogLineBytes);
      deliver(all + start, piece);
      start += piece;
    }
    if (!lf) break;
    deliver(all + start, end - start);
    start = end + 1;
  }
  item.Pending.assign(all + start, length - start);
}

TFFLogger* FFLoggerInstance() {
  {
    std::lock_guard<std::mutex> guard(gLoggerLock);
    if (gLogger) return gLogger;
  }
  auto logger = std::make_unique<TFFLogger>();
  std::lock_guard<std::mutex> guard(gLoggerLock);
  gImplicitLogger = std::move(logger);
  return gImplicitLogger.get();
}
