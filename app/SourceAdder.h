#pragma once
// Adding sources to the conversion list without holding up the window. The
// files and folders the user gave are listed and probed one after another on
// a thread of the adder's own; what the probe found for each file goes back
// to the window's thread in the order given, where the row is planned and
// added. A folder stands for the media files under it, at every level.

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "converter/Profiles.h"
#include "runtime/Threads.h"

class TCustomAVProbe;

// What the probe found in one source, as the conversion list takes it.
struct TProbedSource {
  QString FileName;
  bool Loaded = false;
  std::string Error;     // the probe's LastErrMsg when it could not load the file
  TSourceInfo Info;      // duration, frame count, file name and format
  std::string InfoText;  // the probe's information text
  int64_t FileSize = 0;  // bytes
};

// What AProbe, holding an open file, says of it.
TProbedSource ProbedSource(TCustomAVProbe& AProbe);

// AEntries in order, each folder replaced by the files under it whose names
// match one of APatterns (wildcards such as "*.AVI", in any letter case):
// a folder's files first, then its subfolders, each level in the order a
// file manager shows ("clip2" before "clip10"). Hidden entries and links to
// folders are left out; files given by name are kept whatever their name.
// Stops early, with what it has, once ACancel is set.
QStringList ExpandSources(const QStringList& AEntries, const QStringList& APatterns,
                          const std::atomic<bool>* ACancel = nullptr);

class TSourceAdder {
 public:
  // AWake is called on the adder's thread when a result is ready and none
  // was waiting, and once when the adder is done: the window then takes the
  // results on its own thread.
  explicit TSourceAdder(std::function<void()> AWake);
  // Cancels and joins the thread.
  ~TSourceAdder();
  TSourceAdder(const TSourceAdder&) = delete;
  TSourceAdder& operator=(const TSourceAdder&) = delete;

  // Lists and probes AEntries (see ExpandSources) on the adder's thread.
  // False when a previous adding has not ended yet.
  bool Start(const QStringList& AEntries, const QStringList& APatterns);
  // Stops after the file being probed; results not yet taken are dropped.
  void Cancel();
  // Waits for the thread (serving the hand-over queue on the main thread).
  void Wait();

  // Up to AMax results, in order.
  std::vector<TProbedSource> Take(size_t AMax);
  // From Start until every result has been taken or the adding was
  // cancelled.
  bool Busy() const;
  // Results taken so far, and the files to probe (0 while folders are
  // being listed).
  int Taken() const { return FTaken.load(); }
  int Total() const { return FTotal.load(); }
  // How many media files the folders held when there were more than
  // kMostFiles (only the first kMostFiles are added), else 0.
  int Found() const { return FFound.load(); }

  // The most files one adding takes.
  static constexpr int kMostFiles = 1000;

 private:
  void Execute(const QStringList& AEntries, const QStringList& APatterns);

  // Results wait here at most this many at a time: the thread runs ahead
  // of the window by no more than that.
  static constexpr size_t kQueueLimit = 64;

  std::function<void()> FWake;
  mutable std::mutex FLock;
  std::condition_variable FRoom;     // the queue has room, or the adding is cancelled
  std::deque<TProbedSource> FQueue;  // under FLock
  bool FDone = true;                 // under FLock: the thread has nothing more to give
  std::atomic<bool> FCancel{false};
  std::atomic<int> FTaken{0};
  std::atomic<int> FTotal{0};
  std::atomic<int> FFound{0};
  TThread FThread;
};
