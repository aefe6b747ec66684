#include "app/SourceAdder.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <utility>

#include "probe/AVProbe.h"

TProbedSource ProbedSource(TCustomAVProbe& AProbe) {
  TProbedSource Result;
  Result.Loaded = true;
  Result.Info = SourceInfoFromProbe(AProbe);
  Result.FileName = QString::fromStdU16String(Result.Info.FileName);
  Result.InfoText = AProbe.InfoText();
  Result.FileSize = AProbe.FileSize();
  return Result;
}

namespace {

// Names in the order a file manager shows them: runs of digits compare by
// their value ("clip2" before "clip10"), letters without regard to case;
// names equal that way compare as they are written.
bool NaturalLess(const QString& A, const QString& B) {
  qsizetype I = 0, J = 0;
  while (I < A.size() && J < B.size()) {
    if (A[I].isDigit() && B[J].isDigit()) {
      const qsizetype StartA = I, StartB = J;
      while (I < A.size() && A[I].isDigit()) ++I;
      while (J < B.size() && B[J].isDigit()) ++J;
      // The values, without their leading zeros: the longer run is larger,
      // runs of one length compare digit by digit.
      QStringView RunA = QStringView(A).mid(StartA, I - StartA), RunB = QStringView(B).mid(StartB, J - StartB);
      while (RunA.size() > 1 && RunA.front() == QLatin1Char('0')) RunA = RunA.mid(1);
      while (RunB.size() > 1 && RunB.front() == QLatin1Char('0')) RunB = RunB.mid(1);
      if (RunA.size() != RunB.size()) return RunA.size() < RunB.size();
      if (const int Order = RunA.compare(RunB); Order != 0) return Order < 0;
      continue;
    }
    const QChar CharA = A[I].toCaseFolded(), CharB = B[J].toCaseFolded();
    if (CharA != CharB) return CharA < CharB;
    ++I;
    ++J;
  }
  if (A.size() - I != B.size() - J) return A.size() - I < B.size() - J;
  return A < B;
}

class TFolderLister {
 public:
  TFolderLister(const QStringList& APatterns, const std::atomic<bool>* ACancel) : FCancel(ACancel) {
    for (const QString& Pattern : APatterns)
      FPatterns.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(Pattern),
                                          QRegularExpression::CaseInsensitiveOption));
  }

  void List(const QString& AFolder, QStringList& AFiles) {
    if (Cancelled()) return;
    const QDir Folder(AFolder);
    QFileInfoList Files = Folder.entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    QFileInfoList Folders = Folder.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    Sort(Files);
    Sort(Folders);
    for (const QFileInfo& File : Files)
      if (Matches(File.fileName())) AFiles.append(File.absoluteFilePath());
    for (const QFileInfo& Sub : Folders) List(Sub.absoluteFilePath(), AFiles);
  }

  bool Cancelled() const { return FCancel && FCancel->load(); }

 private:
  void Sort(QFileInfoList& AEntries) const {
    std::sort(AEntries.begin(), AEntries.end(),
              [](const QFileInfo& A, const QFileInfo& B) { return NaturalLess(A.fileName(), B.fileName()); });
  }
  bool Matches(const QString& AName) const {
    return std::any_of(FPatterns.begin(), FPatterns.end(),
                       [&](const QRegularExpression& Pattern) { return Pattern.match(AName).hasMatch(); });
  }

  QList<QRegularExpression> FPatterns;
  const std::atomic<bool>* FCancel;
};

}  // namespace

QStringList ExpandSources(const QStringList& AEntries, const QStringList& APatterns, const std::atomic<bool>* ACancel) {
  TFolderLister Lister(APatterns, ACancel);
  QStringList Files;
  for (const QString& Entry : AEntries) {
    if (Lister.Cancelled()) break;
    if (QFileInfo(Entry).isDir())
      Lister.List(Entry, Files);
    else
      Files.append(Entry);
  }
  return Files;
}

TSourceAdder::TSourceAdder(std::function<void()> AWake) : FWake(std::move(AWake)) {}

TSourceAdder::~TSourceAdder() {
  Cancel();
  Wait();
}

bool TSourceAdder::Start(const QStringList& AEntries, const QStringList& APatterns) {
  if (Busy()) return false;
  // The thread of the last adding, which has ended or was cancelled and
  // ends after its file.
  Wait();
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FQueue.clear();
    FDone = false;
  }
  FCancel = false;
  FTaken = 0;
  FTotal = 0;
  FFound = 0;
  FThread.Start([this, AEntries, APatterns] { Execute(AEntries, APatterns); });
  return true;
}

void TSourceAdder::Cancel() {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FCancel = true;
    FQueue.clear();
  }
  FRoom.notify_all();
}

void TSourceAdder::Wait() {
  if (FThread.Started()) FThread.WaitFor();
}

std::vector<TProbedSource> TSourceAdder::Take(size_t AMax) {
  std::vector<TProbedSource> Results;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    while (!FQueue.empty() && Results.size() < AMax) {
      Results.push_back(std::move(FQueue.front()));
      FQueue.pop_front();
    }
  }
  FTaken += static_cast<int>(Results.size());
  if (!Results.empty()) FRoom.notify_all();
  return Results;
}

bool TSourceAdder::Busy() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return !FCancel && (!FDone || !FQueue.empty());
}

void TSourceAdder::Execute(const QStringList& AEntries, const QStringList& APatterns) {
  QStringList Files = ExpandSources(AEntries, APatterns, &FCancel);
  if (Files.size() > kMostFiles) {
    FFound = static_cast<int>(Files.size());
    Files.resize(kMostFiles);
  }
  FTotal = static_cast<int>(Files.size());
  TAVProbe Probe;
  Probe.Enable();
  for (const QString& File : Files) {
    {
      std::unique_lock<std::mutex> Guard(FLock);
      FRoom.wait(Guard, [this] { return FCancel || FQueue.size() < kQueueLimit; });
      if (FCancel) break;
    }
    TProbedSource Result;
    if (Probe.LoadFile(File.toStdU16String())) {
      Result = ProbedSource(Probe);
    } else {
      Result.Error = Probe.LastErrMsg();
    }
    Probe.Close();
    Result.FileName = File;
    bool Wake;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (FCancel) break;
      Wake = FQueue.empty();
      FQueue.push_back(std::move(Result));
    }
    if (Wake && FWake) FWake();
  }
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FDone = true;
  }
  if (FWake) FWake();
}
