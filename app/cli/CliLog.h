#pragma once
// Where the log of a vidmill-cli batch goes. By default nowhere: the
// libraries' and the engine's lines are not the user's concern, and each
// failure is told once with its file. With --verbose the lines at info
// level go to standard error (handed to the progress display, which prints
// them between its redraws); with --log FILE every line at debug level is
// written to FILE as it comes, so the log of a run that fails or is cut off
// is kept. Each line names its thread and, when known, the source file it
// belongs to.
//
// The logger delivers its lines on the main thread; NameThread may be called
// from any thread.

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/FFmpegLogger.h"

class TCliLog {
 public:
  explicit TCliLog(bool AVerbose) : FVerbose(AVerbose) {}
  ~TCliLog();
  TCliLog(const TCliLog&) = delete;
  TCliLog& operator=(const TCliLog&) = delete;

  // Opens (truncates) APath for the whole log; false with the reason.
  bool OpenFile(const std::string& APath, std::string& AError);
  // Takes the process's logger at the level the sinks need; Detach gives
  // it back (the destructor too).
  void Attach();
  void Detach();
  bool Active() const { return FVerbose || FFile; }

  // The work of source AFile runs on thread AThread from now on: the
  // libraries' lines of that thread name it.
  void NameThread(uint32_t AThread, const std::string& AFile);
  // The lines for standard error since the last call (--verbose).
  std::vector<std::string> TakeScreenLines();
  // A line of the batch's own (a failure, the summary) for the file.
  void Note(const std::string& AText);

 private:
  void OnLine(TObject* ASender, uint32_t AThread, TLogLevel ALevel, const std::string& AText);
  std::string FileOf(TObject* ASender, uint32_t AThread);

  bool FVerbose;
  std::FILE* FFile = nullptr;
  bool FAttached = false;
  std::mutex FLock;                          // around the two members below
  std::map<uint32_t, std::string> FThreads;  // the source file of each thread
  std::vector<std::string> FScreenLines;
};
