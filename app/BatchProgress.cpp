#include "app/BatchProgress.h"

#include <QCoreApplication>
#include <cmath>

namespace {

// A speed measured over less wall time than this says little.
constexpr int64_t kShortestMeasureMs = 1000;

// Seconds to convert ALeftMs at ASpeed (milliseconds per wall millisecond).
int64_t SecondsAt(int64_t ALeftMs, double ASpeed) {
  return std::llround(static_cast<double>(ALeftMs) / ASpeed / 1000.0);
}

}  // namespace

void TBatchProgress::Start(int ATotal) {
  *this = TBatchProgress();
  FTotal = ATotal;
}

int64_t TBatchProgress::TaskProgress(uint64_t ATaskId, int64_t ACurrentMs, int64_t ATotalMs, int64_t ANowMs) {
  auto [It, New] = FRunning.try_emplace(ATaskId);
  TTask& Task = It->second;
  // The clock starts with the first report: what the task did before it
  // (opening, the first pictures) is not counted against its speed.
  if (New) {
    Task.StartMs = ANowMs;
    Task.FirstMs = ACurrentMs;
  }
  Task.CurrentMs = ACurrentMs;
  Task.TotalMs = ATotalMs;
  const int64_t Elapsed = ANowMs - Task.StartMs;
  if (Elapsed >= kShortestMeasureMs && ACurrentMs > Task.FirstMs)
    Task.Speed = static_cast<double>(ACurrentMs - Task.FirstMs) / static_cast<double>(Elapsed);
  if (Task.Speed <= 0 || ATotalMs <= 0) return -1;
  return SecondsAt(std::max<int64_t>(ATotalMs - ACurrentMs, 0), Task.Speed);
}

void TBatchProgress::TaskEnded(uint64_t ATaskId, TOutcome AOutcome) {
  FRunning.erase(ATaskId);
  if (AOutcome == toConverted)
    ++FConverted;
  else if (AOutcome == toFailed)
    ++FFailed;
  else
    ++FStopped;
}

int64_t TBatchProgress::SecondsLeft() const {
  double Left = 0, Speed = 0;
  for (const auto& [Id, Task] : FRunning) {
    if (Task.Speed <= 0 || Task.TotalMs <= 0) return -1;
    Left += static_cast<double>(std::max<int64_t>(Task.TotalMs - Task.CurrentMs, 0));
    Speed += Task.Speed;
  }
  if (Speed <= 0) return -1;
  return SecondsAt(static_cast<int64_t>(Left), Speed);
}

QString TBatchProgress::StatusText() const {
  QString Text = QCoreApplication::translate("TFrm_Main", "已完成 %1 个，失败 %2 个，共 %3 个文件")
                     .arg(FConverted)
                     .arg(FFailed)
                     .arg(FTotal);
  const int64_t Left = SecondsLeft();
  if (Left >= 0) Text += QCoreApplication::translate("TFrm_Main", "，剩余时间 %1").arg(DurationText(Left));
  return Text;
}

QString TBatchProgress::DurationText(int64_t ASeconds) {
  return QStringLiteral("%1:%2:%3")
      .arg(ASeconds / 3600)
      .arg(ASeconds / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(ASeconds % 60, 2, 10, QLatin1Char('0'));
}
