// Running a batch from the window: the planned outputs on each tab, the
// progress columns, the action states through start, stop and end, the
// number of tasks at a time, runs without threads, and the failures of a
// row (source gone, output refused, task failing) and of closing during a
// batch.

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>

#include "app/RadioGroup.h"
#include "probe/AVProbe.h"
#include "tests/app/ConversionTestSupport.h"
#include "tests/media/ReadBack.h"

namespace {

// Number of the converter's tasks running now.
int RunningTasks(TVidmill& AVidmill) {
  int Running = 0;
  for (int I = 0; I < AVidmill.TaskCount(); ++I)
    if (TFFmpeg* Task = AVidmill.Task(I); Task && Task->FRunning) ++Running;
  return Running;
}

int64_t FileSize(const QString& AFileName) { return QFileInfo(AFileName).size(); }

// A two-second clip read back: its duration in microseconds, 0 when it cannot be read.
int64_t ProbedDuration(const QString& AFileName) {
  TAVProbe Probe;
  Probe.Enable();
  if (!Probe.LoadFile(AFileName.toStdU16String())) return 0;
  TFileStreamInfo Info;
  const int64_t Duration = Probe.GetFileStreamInfo(Info) ? Info.Duration : 0;
  Probe.Close();
  return Duration;
}

struct TTab {
  int Index;
  const char* Caption;
  const char* Suffix;
};
void PrintTo(const TTab& ATab, std::ostream* AStream) { *AStream << ATab.Caption; }
const TTab kTabs[] = {
    {0, "3GP", ".3gp"},          {1, "MP4", ".mp4"}, {2, "AVI", ".avi"}, {3, "VCD", "_vcd_auto.mpg"},
    {4, "DVD", "_dvd_auto.mpg"}, {5, "Flv", ".flv"}, {6, "WMV", ".wmv"},
};

class BatchTabTest : public ConversionTest, public ::testing::WithParamInterface<TTab> {};

}  // namespace

TEST_P(BatchTabTest, ThreeRowsConvertToThePlannedOutputs) {
  const TTab Tab = GetParam();
  Open();
  W().PageControl1->setCurrentIndex(Tab.Index);
  const QString A = Source("avi", QStringLiteral("movie.avi"));
  const QString B = Source("mkv", QStringLiteral("other.mkv"));
  AddClip(A);
  AddClip(A);
  AddClip(B);
  ASSERT_EQ(RowCount(), 3);
  const QString Suffix = QString::fromLatin1(Tab.Suffix);
  // Planned when added: the same name twice.
  EXPECT_EQ(Row(1)->text(lcOutput), QStringLiteral("movie_(new)") + Suffix);

  W().FFLogger->SetLogLevel(llDebug);
  W().Convert->trigger();
  EXPECT_EQ(W().FFLogger->LogLevel(), llInfo);
  EXPECT_EQ(ActionStates(W()), "----E");
  ASSERT_TRUE(WaitBatchEnd()) << ActionStates(W());

  // Planned again at the start: the second row's output takes the next name
  // (the list keeps the name planned when the row was added).
  const QString Outputs[] = {Out(QStringLiteral("movie_(new)") + Suffix), Out(QStringLiteral("movie_(new_1)") + Suffix),
                             Out(QStringLiteral("other_(new)") + Suffix)};
  EXPECT_EQ(Row(1)->text(lcOutput), QStringLiteral("movie_(new)") + Suffix);
  for (int I = 0; I < 3; ++I) {
    SCOPED_TRACE(Outputs[I].toStdString());
    EXPECT_GT(ProbedDuration(Outputs[I]), 1000000);
    EXPECT_EQ(Row(I)->text(lcProgress), QStringLiteral("100%"));
    // The last report: converted time in whole seconds (the clip less its
    // first frame, and what audio frames add) and the size written so far
    // (the trailer may follow it).
    const QString Position = Row(I)->text(lcPosition);
    EXPECT_TRUE(Position == QStringLiteral("1") || Position == QStringLiteral("2")) << Position.toStdString();
    const qint64 Size = Row(I)->text(lcOutputSize).toLongLong();
    EXPECT_GT(Size, 0);
    EXPECT_LE(Size, FileSize(Outputs[I]));
    const QString Fps = Row(I)->text(lcFPS);
    if (!Fps.isEmpty()) {
      EXPECT_GT(Fps.toInt(), 0);
    }
  }
  EXPECT_TRUE(Services->Messages.empty()) << Services->Messages[0].Text.toStdString();
  EXPECT_EQ(ActionStates(W()), "--E--");

  // A new batch begins by clearing the list.
  W().ClearFile->trigger();
  EXPECT_EQ(ActionStates(W()), "E----");
}

INSTANTIATE_TEST_SUITE_P(EachTab, BatchTabTest, ::testing::ValuesIn(kTabs),
                         [](const ::testing::TestParamInfo<TTab>& AInfo) { return std::string(AInfo.param.Caption); });

TEST_F(ConversionTest, EmptyListStartsNothing) {
  Open();
  W().Convert->setEnabled(true);
  W().Convert->trigger();
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_EQ(Services->Messages[0].Text, QStringLiteral("没有视频文件，不能转换."));
  EXPECT_EQ(Services->Messages[0].Caption, QStringLiteral("提示"));
  EXPECT_EQ(Services->Messages[0].Icon, QMessageBox::Information);
  EXPECT_EQ(ActionStates(W()), "EEEE-");
}

TEST_F(ConversionTest, ProgressAndEndsGoToTheRowsOfTheirTasks) {
  // A start abandoned at a vanished third row leaves the first two rows'
  // tasks created but not run: their notifications are played here.
  Open();
  const QString A = Source("avi", QStringLiteral("a.avi"));
  const QString Gone = Source("avi", QStringLiteral("gone.avi"));
  AddClip(A);
  AddClip(A);
  AddClip(Gone);
  QFile::remove(Gone);
  W().Convert->trigger();
  ASSERT_EQ(W().Vidmill->TaskCount(), 2);
  EXPECT_TRUE(LoggedBetweenEmptyLines(QStringLiteral("***File load error: ")));

  struct TProgress {
    int Index, FPS, Current;
    int64_t Size;
    int Total;
    QStringList Expected;  // columns 4 to 7 of the row
  };
  const TProgress Steps[] = {
      {0, 25, 1500, 12345, 3000, {"50%", "25", "1", "12345"}},
      {0, 0, 2999, 23456, 3000, {"99%", "25", "2", "23456"}},  // no speed: the last one stays
      {1, 12, 900, 100, 0, {"N/A", "12", "0", "100"}},
      {1, -1, 2500, 200, -5, {"N/A", "12", "2", "200"}},
  };
  for (const TProgress& Step : Steps) {
    W().VidmillProgress(Step.Index, 10, Step.FPS, Step.Current, 1.0f, 100.0f, Step.Size, Step.Total);
    QTreeWidgetItem* Target = Row(Step.Index);
    EXPECT_EQ((QStringList{Target->text(4), Target->text(5), Target->text(6), Target->text(7)}), Step.Expected);
  }
  EXPECT_TRUE(Row(2)->text(lcProgress).isEmpty());

  W().VidmillTerminate(1, true, false, std::string());
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("100%"));
  // A failed task says so in its row, why in the row's tooltip and the log,
  // and in a message box.
  W().VidmillTerminate(0, false, true, "Error while opening encoder");
  EXPECT_EQ(Row(0)->text(lcProgress), QStringLiteral("失败"));
  EXPECT_EQ(Row(0)->toolTip(lcSource), QStringLiteral("Error while opening encoder"));
  EXPECT_TRUE(W().mmolog->toPlainText().contains(QStringLiteral("***Convert failed: ")));
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_EQ(Services->Messages[0].Text, QStringLiteral("Error while opening encoder"));
  EXPECT_EQ(Services->Messages[0].Caption, QStringLiteral("Vidmill"));
  EXPECT_EQ(Services->Messages[0].Icon, QMessageBox::Warning);
  // A late report of an ended task changes nothing.
  W().VidmillProgress(1, 10, 30, 100, 1.0f, 100.0f, 5, 3000);
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_EQ(ActionStates(W()), "EEEE-");
  W().VidmillTerminate(-1, true, false, std::string());
  EXPECT_EQ(ActionStates(W()), "--E--");
}

TEST_F(ConversionTest, RowsShowTheirOutcomeAndTimeLeftAndTheBatchItsCounts) {
  // Three tasks created but not run (the start stopped at a vanished fourth
  // row): their notifications are played here.
  Open();
  const QString A = Source("avi", QStringLiteral("a.avi"));
  const QString Gone = Source("avi", QStringLiteral("gone.avi"));
  for (int I = 0; I < 3; ++I) AddClip(A);
  AddClip(Gone);
  QFile::remove(Gone);
  W().Convert->trigger();
  ASSERT_EQ(W().Vidmill->TaskCount(), 3);
  const QString Title = W().windowTitle();

  // The time left needs a second of measuring.
  W().VidmillProgress(0, 10, 25, 1000, 1.0f, 100.0f, 10, 4000);
  EXPECT_TRUE(Row(0)->toolTip(lcProgress).isEmpty());
  WaitUntil([] { return false; }, 1100);
  W().VidmillProgress(0, 20, 25, 2000, 1.0f, 100.0f, 20, 4000);
  EXPECT_TRUE(Row(0)->toolTip(lcProgress).startsWith(QStringLiteral("剩余时间 0:00:0")))
      << Row(0)->toolTip(lcProgress).toStdString();
  EXPECT_TRUE(W().lblStatus->text().startsWith(QStringLiteral("已完成 0 个，失败 0 个，共 4 个文件，剩余时间 0:00:0")))
      << W().lblStatus->text().toStdString();

  W().VidmillProgress(2, 10, 25, 1480, 1.0f, 100.0f, 10, 4000);
  W().VidmillTerminate(0, true, false, std::string());
  W().VidmillTerminate(1, false, false, std::string());  // stopped before its first report
  W().VidmillTerminate(2, false, false, std::string());
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("已停止"));
  EXPECT_EQ(Row(2)->text(lcProgress), QStringLiteral("37% 已停止"));
  EXPECT_EQ(W().lblStatus->text(), QStringLiteral("已完成 1 个，失败 0 个，共 4 个文件"));
  W().VidmillTerminate(-1, true, false, std::string());
  EXPECT_EQ(W().windowTitle(), Title + QStringLiteral(" - 转换完成 (1 个成功，0 个失败)"));
  // The session was kept awake from the start to the end, and told the user.
  EXPECT_EQ(Services->SessionCalls, (std::vector<QString>{QStringLiteral("inhibit: 正在转换视频文件"),
                                                          QStringLiteral("release"), QStringLiteral("release")}));
  EXPECT_EQ(Services->Notifications,
            std::vector<QString>{QStringLiteral("Vidmill: 转换完成|1 个文件转换成功，0 个失败")});
  W().ClearFile->trigger();
  EXPECT_EQ(W().windowTitle(), Title);
}

TEST(BatchProgressTest, TimeLeftFromTheSpeedSoFar) {
  struct TCase {
    int64_t FirstMs, LaterMs, TotalMs, WallMs;
    int64_t Left;  // seconds, -1 unknown
  };
  const TCase Cases[] = {
      {0, 1000, 4000, 1000, 3},      // one second of media a second: 3 s left
      {1000, 3000, 10000, 1000, 4},  // twice as fast: 7 s of media in 3.5 s
      {0, 4000, 4000, 2000, 0},      // done
      {0, 1000, 4000, 500, -1},      // not measured long enough
      {0, 1000, 0, 1000, -1},        // no length
      {1000, 1000, 4000, 5000, -1},  // nothing converted since the first report
  };
  for (const TCase& C : Cases) {
    TBatchProgress Progress;
    Progress.Start(2);
    Progress.TaskProgress(7, C.FirstMs, C.TotalMs, 100);
    EXPECT_EQ(Progress.TaskProgress(7, C.LaterMs, C.TotalMs, 100 + C.WallMs), C.Left) << C.LaterMs << " " << C.WallMs;
    EXPECT_EQ(Progress.SecondsLeft(), C.Left);
  }
  TBatchProgress Two;
  Two.Start(3);
  Two.TaskProgress(1, 0, 4000, 0);
  Two.TaskProgress(2, 0, 8000, 0);
  Two.TaskProgress(1, 1000, 4000, 1000);
  Two.TaskProgress(2, 2000, 8000, 1000);
  // 9 s of media left at 3 s of media a second.
  EXPECT_EQ(Two.SecondsLeft(), 3);
  Two.TaskEnded(1, TBatchProgress::toFailed);
  EXPECT_EQ(Two.StatusText(), QStringLiteral("已完成 0 个，失败 1 个，共 3 个文件，剩余时间 0:00:03"));
  EXPECT_EQ(TBatchProgress::DurationText(3725), QStringLiteral("1:02:05"));
}

TEST_F(ConversionTest, VanishedSourceAbandonsTheStart) {
  Open();
  const QString A = Source("avi", QStringLiteral("first.avi"));
  const QString Gone = Source("wav", QStringLiteral("vanishes.wav"));
  const QString B = Source("mkv", QStringLiteral("stays.mkv"));
  AddClip(A);
  AddClip(Gone);
  AddClip(B);
  QFile::remove(Gone);
  W().Convert->trigger();
  const QStringList Lines = LastLogLines(3);
  EXPECT_TRUE(Lines[0].isEmpty());
  EXPECT_TRUE(Lines[1].startsWith(QStringLiteral("***File load error: "))) << Lines[1].toStdString();
  EXPECT_TRUE(Lines[2].isEmpty());
  // Nothing runs and nothing changes; the first row's task stays created.
  EXPECT_EQ(ActionStates(W()), "EEEE-");
  EXPECT_EQ(W().Vidmill->TaskCount(), 1);
  WaitUntil([] { return false; }, 300);
  EXPECT_EQ(RunningTasks(*W().Vidmill), 0);
  EXPECT_TRUE(Row(0)->text(lcProgress).isEmpty());

  // Removing a row removes its own task, and only that.
  W().lvFiles->setCurrentItem(Row(1));
  W().DelFile->trigger();
  EXPECT_EQ(W().Vidmill->TaskCount(), 1);
  W().lvFiles->setCurrentItem(Row(0));
  W().DelFile->trigger();
  EXPECT_EQ(W().Vidmill->TaskCount(), 0);
  ASSERT_EQ(RowCount(), 1);
  W().Convert->trigger();
  ASSERT_TRUE(WaitBatchEnd());
  EXPECT_EQ(Row(0)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_GT(ProbedDuration(Out(QStringLiteral("stays_(new).3gp"))), 1000000);
}

TEST_F(ConversionTest, RowsWithoutATaskLeaveTheOthersTheirOwnRows) {
  Open();
  // On the VCD tab a source without a picture has no frame rate to choose
  // the TV norm by: its output cannot be made.
  W().PageControl1->setCurrentIndex(3);
  const QString Sound = Source("wav", QStringLiteral("sound.wav"));
  const QString A = Source("avi", QStringLiteral("short.avi"));
  const QString B = Source("mkv", QStringLiteral("other.mkv"));
  AddClip(A);
  AddClip(Sound);
  AddClip(B);
  ASSERT_EQ(RowCount(), 3);
  W().Convert->trigger();
  EXPECT_TRUE(LoggedBetweenEmptyLines(QStringLiteral("***Cannot do convert, error: ")))
      << W().mmolog->toPlainText().toStdString();
  EXPECT_EQ(W().Vidmill->TaskCount(), 2);
  ASSERT_TRUE(WaitBatchEnd());
  // Task 1 is the third row's; the second row failed, and says why.
  EXPECT_EQ(Row(0)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("失败"));
  EXPECT_FALSE(Row(1)->toolTip(lcProgress).isEmpty());
  EXPECT_EQ(W().lblStatus->text(), QStringLiteral("已完成 2 个，失败 1 个，共 3 个文件"));
  EXPECT_TRUE(Row(1)->text(lcOutputSize).isEmpty());
  EXPECT_EQ(Row(2)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_EQ(Row(2)->text(lcOutputSize).toLongLong() > 0, true);
  EXPECT_GT(ProbedDuration(Out(QStringLiteral("other_(new)_vcd_auto.mpg"))), 1000000);
  EXPECT_TRUE(Services->Messages.empty());
}

TEST_F(ConversionTest, BatchWithoutAnyTaskEndsAtOnce) {
  Open();
  W().PageControl1->setCurrentIndex(3);  // VCD: a source without a picture gets no task
  const QString Sound = Source("wav", QStringLiteral("sound.wav"));
  AddClip(Sound);
  AddClip(Sound);
  W().Convert->trigger();
  EXPECT_EQ(W().Vidmill->TaskCount(), 0);
  EXPECT_EQ(ActionStates(W()), "--E--");
}

TEST_F(ConversionTest, FailingTaskShowsTheWarningAndTheOthersFinish) {
  Open();
  W().PageControl1->setCurrentIndex(6);  // WMV
  // An MP4 whose media data are zeros: its streams are described, nothing
  // decodes, and nothing encoded is a failure.
  const QString Zeroed = F.Folders.Path(QStringLiteral("src/")) + QStringLiteral("zeroed.mp4");
  QDir().mkpath(QFileInfo(Zeroed).absolutePath());
  testmedia::MakeUndecodableCopy(testmedia::CachedClip(SmallClip("mp4")), Zeroed.toStdString());
  // 96 kHz sound: WMA takes at most 48 kHz and lists no rates; it gets 48 kHz.
  testmedia::ClipSpec High = SmallClip("mkv");
  High.sampleRate = 96000;
  High.audioCodec = "aac";
  AddClip(Zeroed);
  AddClip(Source(High, QStringLiteral("high.mkv")));
  AddClip(Source("wav", QStringLiteral("tone.wav")));
  W().Convert->trigger();
  ASSERT_TRUE(WaitBatchEnd());
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_TRUE(Services->Messages[0].Text.contains(QStringLiteral("Nothing was encoded for '") +
                                                  Out(QStringLiteral("zeroed_(new).wmv"))))
      << Services->Messages[0].Text.toStdString();
  EXPECT_EQ(Services->Messages[0].Icon, QMessageBox::Warning);
  EXPECT_NE(Row(0)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral("zeroed_(new).wmv"))));
  EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral(".zeroed_(new).wmv.part"))));
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_EQ(Row(2)->text(lcProgress), QStringLiteral("100%"));
  const testmedia::FileReadBack High48 = testmedia::ReadBack(Out(QStringLiteral("high_(new).wmv")).toStdString());
  ASSERT_NE(High48.Audio(), nullptr);
  EXPECT_EQ(High48.Audio()->sampleRate, 48000);
  EXPECT_GT(ProbedDuration(Out(QStringLiteral("tone_(new).wmv"))), 1000000);
}

TEST_F(ConversionTest, StoppingDisablesStopAtOnceAndTheRestWithTheEnd) {
  Open(QStringLiteral("1"));
  testmedia::ClipSpec Longer = SmallClip("avi");
  Longer.durationSec = 6.0;
  for (int I = 0; I < 3; ++I) AddClip(Source(Longer, QStringLiteral("long%1.avi").arg(I)));
  W().Convert->trigger();
  EXPECT_EQ(ActionStates(W()), "----E");
  W().Convert_Stop->trigger();
  // Every task has ended; the final notification is still on its way.
  EXPECT_EQ(RunningTasks(*W().Vidmill), 0);
  EXPECT_EQ(ActionStates(W()), "-----");
  ASSERT_TRUE(WaitBatchEnd());
  EXPECT_EQ(ActionStates(W()), "--E--");
  EXPECT_TRUE(Services->Messages.empty());
}

TEST_F(ConversionTest, ThreeTasksAtATime) {
  Open(QStringLiteral("3"));
  W().PageControl1->setCurrentIndex(4);  // DVD: the slowest of the seven
  const QString A = Source("avi", QStringLiteral("five.avi"));
  for (int I = 0; I < 5; ++I) AddClip(A);
  W().ThreadPriority = 0x102;  // its low byte: tpLower
  W().Convert->trigger();
  EXPECT_EQ(W().Vidmill->ThreadPriority(), tpLower);
  // Three were started together; the others wait for one of them to end.
  int Started = 0;
  for (int I = 0; I < 5; ++I)
    if (TFFmpeg* Task = W().Vidmill->Task(I); Task->FRunning || Task->FTerminated) ++Started;
  EXPECT_GE(Started, 3);
  int Most = RunningTasks(*W().Vidmill);
  ASSERT_TRUE(WaitUntil([&] {
    Most = std::max(Most, RunningTasks(*W().Vidmill));
    return BatchOver();
  }));
  EXPECT_LE(Most, 3);
  for (int I = 0; I < 5; ++I) {
    EXPECT_EQ(Row(I)->text(lcProgress), QStringLiteral("100%")) << I;
    const QString Name =
        I == 0 ? QStringLiteral("five_(new)_dvd_auto.mpg") : QStringLiteral("five_(new_%1)_dvd_auto.mpg").arg(I);
    EXPECT_GT(ProbedDuration(Out(Name)), 1000000) << Name.toStdString();
  }
}

TEST_F(ConversionTest, WithoutThreadsTheBatchRunsInsideTheStart) {
  Open(QStringLiteral("0"));
  const QString A = Source("wav", QStringLiteral("inline.wav"));
  AddClip(A);
  AddClip(A);
  W().Convert->trigger();
  // Over before the start returns, without the event loop.
  EXPECT_EQ(ActionStates(W()), "--E--");
  EXPECT_EQ(Row(0)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_EQ(Row(1)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_GT(ProbedDuration(Out(QStringLiteral("inline_(new_1).3gp"))), 1000000);
}

TEST_F(ConversionTest, ClosingDuringABatchStopsAwaitsAndWritesTheFolder) {
  Open(QStringLiteral("2"));
  testmedia::ClipSpec Longer = SmallClip("avi");
  Longer.durationSec = 6.0;
  for (int I = 0; I < 4; ++I) AddClip(Source(Longer, QStringLiteral("close%1.avi").arg(I)));
  W().Convert->trigger();
  const QString Folder = F.Folders.Path(QStringLiteral("elsewhere/"));
  W().edtOutPath->setText(Folder);
  // The user is asked first; "no" leaves the window and the batch as they are.
  Services->QuestionAnswer = QMessageBox::No;
  EXPECT_FALSE(W().close());
  EXPECT_TRUE(W().Convert_Stop->isEnabled());
  Services->QuestionAnswer = QMessageBox::Yes;
  EXPECT_TRUE(W().close());
  ASSERT_EQ(Services->Messages.size(), 2u);
  EXPECT_EQ(Services->Messages[1].Icon, QMessageBox::Question);
  Services->Messages.clear();
  EXPECT_EQ(RunningTasks(*W().Vidmill), 0);
  EXPECT_TRUE(ReadBytes(F.Folders.ExeConfig()).contains("dir=" + Folder.toUtf8()));
  // Nothing of the batch reaches the closed window.
  WaitUntil([] { return false; }, 200);
  EXPECT_EQ(ActionStates(W()), "----E");
  for (int I = 0; I < 4; ++I) EXPECT_NE(Row(I)->text(lcProgress), QStringLiteral("100%"));
  EXPECT_TRUE(Services->Messages.empty());
}
