#pragma once
// What a batch has done so far and how long it still needs: the files
// converted, failed and stopped, and the time left of each running task and
// of the whole batch, estimated from the converted time and the speed so far.

#include <QString>
#include <algorithm>
#include <cstdint>
#include <map>

class TBatchProgress {
 public:
  enum TOutcome { toConverted, toFailed, toStopped };

  // A new batch of ATotal files (rows), none ended yet.
  void Start(int ATotal);
  // Task ATaskId has converted ACurrentMs of ATotalMs (0 or less: unknown)
  // at wall time ANowMs (any clock that only moves forward). The task's
  // seconds left, or -1 while they cannot be told yet.
  int64_t TaskProgress(uint64_t ATaskId, int64_t ACurrentMs, int64_t ATotalMs, int64_t ANowMs);
  void TaskEnded(uint64_t ATaskId, TOutcome AOutcome);
  // A row that never got a task (it could not be queued) counts as failed.
  void RowFailed() { ++FFailed; }

  int Total() const { return FTotal; }
  int Converted() const { return FConverted; }
  int Failed() const { return FFailed; }
  int Stopped() const { return FStopped; }
  // Seconds until every running task is done at the speed they go at, the
  // tasks not started yet not counted; -1 when no running task can tell.
  int64_t SecondsLeft() const;
  // The status line: files done, failed and in all, and the time left.
  QString StatusText() const;

  // "H:MM:SS".
  static QString DurationText(int64_t ASeconds);

 private:
  struct TTask {
    int64_t StartMs = 0;    // wall time of its first report
    int64_t FirstMs = 0;    // converted at its first report
    int64_t CurrentMs = 0;  // converted so far
    int64_t TotalMs = 0;
    double Speed = 0;  // converted milliseconds per wall millisecond, 0 while unknown
  };
  int FTotal = 0, FConverted = 0, FFailed = 0, FStopped = 0;
  std::map<uint64_t, TTask> FRunning;
};
