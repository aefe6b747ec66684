// The conversion list: adding probed files (dialog and drops), the nine
// columns, removing and clearing rows with their action states; the
// profile read from the window's controls; the output-folder buttons; the
// progress column's bar.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDropEvent>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyleOptionViewItem>
#include <QTabWidget>
#include <QUrl>

#include "app/ProgressDelegate.h"
#include "app/RadioGroup.h"
#include "tests/app/ConversionTestSupport.h"

namespace {

class ConversionListTest : public ConversionTest {
 protected:
  void SetUp() override { Open(); }
};

QStringList RowTexts(QTreeWidgetItem* ARow) {
  QStringList Texts;
  for (int I = 0; I < 9; ++I) Texts.append(ARow->text(I));
  return Texts;
}

// Sends the drag-enter and drop of AFiles to the list and waits until their
// rows are in; true when the drop was accepted.
bool DropFiles(TFrm_Main& AWindow, const QStringList& AFiles) {
  QMimeData Data;
  QList<QUrl> Urls;
  for (const QString& File : AFiles) Urls.append(QUrl::fromLocalFile(File));
  Data.setUrls(Urls);
  QWidget* Target = AWindow.lvFiles->viewport();
  const QPoint At = Target->rect().center();
  QDragEnterEvent Enter(At, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Target, &Enter);
  if (!Enter.isAccepted()) return false;
  QDropEvent Drop(At, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(Target, &Drop);
  // The adding starts from the event queue and its rows come in from there.
  QCoreApplication::processEvents();
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  WaitServing([&] {
    QCoreApplication::processEvents();
    return !AWindow.Adding() || std::chrono::steady_clock::now() > Until;
  });
  EXPECT_FALSE(AWindow.Adding()) << "the adding did not end";
  return Drop.isAccepted();
}

}  // namespace

TEST_F(ConversionListTest, AddedClipsFillTheNineColumns) {
  testmedia::ClipSpec Silent = SmallClip("avi");
  Silent.audio = false;
  struct TCase {
    testmedia::ClipSpec Spec;
    QString Name;
    QString Duration;
    int64_t SourceDuration;
    int32_t FrameCount;
  };
  const TCase Cases[] = {
      {Silent, QStringLiteral("clip.avi"), QStringLiteral("2"), 2000000, 50},            // 25 frames a second
      {SmallClip("wav"), QStringLiteral("tone.wav"), QStringLiteral("2"), 2000000, 20},  // tenths of a second
      {SmallClip("png"), QStringLiteral("still.png"), QStringLiteral("N/A"), -1, 0},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(Case.Name.toStdString());
    const QString Path = Source(Case.Spec, Case.Name);
    const int Before = RowCount();
    AddClip(Path);
    ASSERT_EQ(RowCount(), Before + 1) << W().mmolog->toPlainText().toStdString();
    QTreeWidgetItem* Added = Row(Before);
    const QString Stem = QFileInfo(Path).completeBaseName();
    EXPECT_EQ(RowTexts(Added), (QStringList{Case.Name,
                                            Case.Duration,
                                            QString::number(QFileInfo(Path).size()),
                                            Stem + QStringLiteral("_(new).3gp"),
                                            {},
                                            {},
                                            {},
                                            {},
                                            Path}));
    EXPECT_EQ(W().SourceDuration, Case.SourceDuration);
    EXPECT_EQ(W().FrameCount, Case.FrameCount);
    EXPECT_TRUE(W().mmoAVFileInfo->toPlainText().contains(Case.Name));
    EXPECT_EQ(LastLogLines(3), (QStringList{{}, QStringLiteral("***File has been added to convert list."), {}}));
  }
  // The dialog was the configured one, once per file.
  ASSERT_EQ(Services->OpenDialogs.size(), 3u);
  EXPECT_EQ(Services->OpenDialogs[0].NameFilters, W().OpenDialog1.NameFilters);
  EXPECT_EQ(ActionStates(W()), "EEEE-");
  // Adding loads at the information level.
  EXPECT_EQ(W().FFLogger->LogLevel(), llInfo);
}

TEST_F(ConversionListTest, CancelledDialogAndUnreadableFileAddNothing) {
  Services->OpenFileAnswer.clear();
  W().AddFile->trigger();
  EXPECT_EQ(Services->OpenDialogs.size(), 1u);
  EXPECT_EQ(RowCount(), 0);
  EXPECT_TRUE(W().mmolog->toPlainText().isEmpty());

  const QString Text = F.Folders.Path(QStringLiteral("src/notes.avi"));
  WriteBytes(Text, "this is not a video file\n");
  AddClip(Text);
  EXPECT_EQ(RowCount(), 0);
  const QStringList Lines = LastLogLines(3);
  ASSERT_EQ(Lines.size(), 3);
  EXPECT_TRUE(Lines[0].isEmpty());
  EXPECT_TRUE(Lines[1].startsWith(QStringLiteral("***File load error: "))) << Lines[1].toStdString();
  EXPECT_GT(Lines[1].size(), QStringLiteral("***File load error: ").size());
  EXPECT_TRUE(Lines[2].isEmpty());
  // The states of start-up: nothing to convert yet.
  EXPECT_EQ(ActionStates(W()), "EEE--");
}

TEST_F(ConversionListTest, SeveralFilesAndAFolderInOneGoAndOneBoxForWhatFailed) {
  const QString A = Source("avi", QStringLiteral("one.avi"));
  const QString B = Source("wav", QStringLiteral("folder/two.wav"));
  const QString Bad = F.Folders.Path(QStringLiteral("src/folder/three.mp4"));
  WriteBytes(Bad, "no media here");
  Services->OpenFilesAnswer = {A, QFileInfo(B).absolutePath()};
  W().AddFile->trigger();
  ASSERT_TRUE(WaitAdded());
  ASSERT_EQ(RowCount(), 2);
  EXPECT_EQ(Row(1)->text(lcPath), B);
  // The name column shows the name, its tooltip the whole path.
  EXPECT_EQ(Row(1)->text(lcSource), QStringLiteral("two.wav"));
  EXPECT_EQ(Row(1)->toolTip(lcSource), QDir::toNativeSeparators(B));
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_TRUE(Services->Messages[0].Text.contains(QDir::toNativeSeparators(Bad) + QStringLiteral(": ")))
      << Services->Messages[0].Text.toStdString();
  EXPECT_EQ(Services->Messages[0].Icon, QMessageBox::Warning);
}

TEST_F(ConversionListTest, SameFileTwicePlansTheSameName) {
  const QString Path = Source("avi", QStringLiteral("twice.avi"));
  AddClip(Path);
  AddClip(Path);
  ASSERT_EQ(RowCount(), 2);
  EXPECT_EQ(Row(0)->text(lcOutput), QStringLiteral("twice_(new).3gp"));
  EXPECT_EQ(Row(1)->text(lcOutput), QStringLiteral("twice_(new).3gp"));
  // A file of that name already there: the next free one.
  WriteBytes(Out(QStringLiteral("twice_(new).3gp")), "x");
  AddClip(Path);
  EXPECT_EQ(Row(2)->text(lcOutput), QStringLiteral("twice_(new_1).3gp"));
}

TEST_F(ConversionListTest, DeleteAndClearSetTheActionStates) {
  const QString A = Source("avi", QStringLiteral("a.avi"));
  const QString B = Source("wav", QStringLiteral("b.wav"));
  AddClip(A);
  AddClip(B);
  ASSERT_EQ(RowCount(), 2);

  // Nothing selected: nothing happens.
  W().lvFiles->clearSelection();
  W().DelFile->trigger();
  EXPECT_EQ(RowCount(), 2);
  EXPECT_EQ(ActionStates(W()), "EEEE-");

  W().lvFiles->setCurrentItem(Row(0));
  W().DelFile->trigger();
  ASSERT_EQ(RowCount(), 1);
  EXPECT_EQ(Row(0)->text(lcPath), B);
  EXPECT_EQ(ActionStates(W()), "EEEE-");

  W().lvFiles->setCurrentItem(Row(0));
  W().DelFile->trigger();
  EXPECT_EQ(RowCount(), 0);
  EXPECT_EQ(ActionStates(W()), "E----");

  AddClip(A);
  AddClip(A);
  W().Convert_Stop->setEnabled(true);  // clearing leaves it as it is
  W().ClearFile->trigger();
  EXPECT_EQ(RowCount(), 0);
  EXPECT_EQ(ActionStates(W()), "E---E");
  W().Convert_Stop->setEnabled(false);
  W().AddFile->setEnabled(false);
  W().ClearFile->setEnabled(true);
  W().ClearFile->trigger();
  EXPECT_EQ(ActionStates(W()), "E----");
}

TEST_F(ConversionListTest, DroppedFilesAreAddedInOrder) {
  const QString A = Source("avi", QStringLiteral("first.avi"));
  const QString Bad = F.Folders.Path(QStringLiteral("src/broken.mp4"));
  WriteBytes(Bad, "no media here");
  const QString B = Source("wav", QStringLiteral("second.wav"));
  const QString C = Source("mkv", QStringLiteral("third.mkv"));

  EXPECT_TRUE(DropFiles(W(), {A, Bad, B, C}));
  ASSERT_EQ(RowCount(), 3);
  EXPECT_EQ(Row(0)->text(lcPath), A);
  EXPECT_EQ(Row(1)->text(lcPath), B);
  EXPECT_EQ(Row(2)->text(lcPath), C);
  EXPECT_EQ(Row(2)->text(lcOutput), QStringLiteral("third_(new).3gp"));
  EXPECT_TRUE(LoggedBetweenEmptyLines(QStringLiteral("***File load error: ")));
  EXPECT_EQ(W().mmolog->toPlainText().count(QStringLiteral("***File has been added to convert list.")), 3);
  // The dialog is not involved.
  EXPECT_TRUE(Services->OpenDialogs.empty());
  EXPECT_EQ(ActionStates(W()), "EEEE-");

  // Nothing but local files is taken, and nothing while adding is not allowed.
  QMimeData Text;
  Text.setText(QStringLiteral("first.avi"));
  QDragEnterEvent Enter(QPoint(5, 5), Qt::CopyAction, &Text, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(W().lvFiles->viewport(), &Enter);
  EXPECT_FALSE(Enter.isAccepted());
  W().AddFile->setEnabled(false);
  EXPECT_FALSE(DropFiles(W(), {A}));
  EXPECT_EQ(RowCount(), 3);
}

TEST_F(ConversionListTest, ProfileIsReadFromTheShowingTabAndTheControls) {
  testmedia::ClipSpec Silent = SmallClip("avi");
  Silent.audio = false;
  const QString Path = Source(Silent, QStringLiteral("p.avi"));
  AddClip(Path);  // 2 s at 25 frames a second: 40 ms a frame

  W().PageControl1->setCurrentIndex(5);
  W().cboFrameSize->setCurrentIndex(3);  // 352x288 - cif
  W().grpAudioChannels->SetItemIndex(2);
  W().grpFrameRate->SetItemIndex(2);
  W().chkVideoBitRate->setChecked(true);
  W().edtVideoBitRate->setText(QStringLiteral("abc"));
  W().chkAudioBitRate->setChecked(true);
  W().edtAudioBitRate->setText(QStringLiteral("32"));
  W().grpNorm->SetItemIndex(2);
  const TProfileChoices C = W().ProfileChoices();
  EXPECT_EQ(C.TabIndex, 5);
  EXPECT_EQ(C.FrameSizeIndex, 3);
  EXPECT_EQ(C.FrameSizeText, "352x288 - cif");
  EXPECT_EQ(C.ChannelsIndex, 2);
  EXPECT_EQ(C.FrameRateIndex, 2);
  EXPECT_EQ(C.FrameRateText, "15");
  EXPECT_TRUE(C.VideoBitrateChecked);
  EXPECT_EQ(C.VideoBitrateText, "abc");
  EXPECT_TRUE(C.AudioBitrateChecked);
  EXPECT_EQ(C.AudioBitrateText, "32");
  EXPECT_EQ(C.NormIndex, 2);
  EXPECT_EQ(C.OutputFolder, OutDir().toStdU16String());

  // The 3GP tab replaces size, channels and audio rate of the same choices.
  W().PageControl1->setCurrentIndex(0);
  const TOutputOptions O = W().BuildOutputOptions();
  EXPECT_EQ(O.FrameSize, "128x96");
  EXPECT_EQ(O.AudioChannels, 1);
  EXPECT_EQ(O.AudioSampleRate, 8000);
  EXPECT_EQ(O.AudioBitrate, 7400);
  EXPECT_EQ(O.VideoBitrate, 200000);
  EXPECT_EQ(O.FrameRate, "15");
  EXPECT_EQ(O.RecordingTimeMs, 2000 - 40);
  EXPECT_EQ(O.FileName, Out(QStringLiteral("p_(new).3gp")).toStdU16String());
  const TInputOptions I = W().BuildInputOptions();
  EXPECT_EQ(I.FileName, Path.toStdU16String());
  EXPECT_EQ(I.StartTimeMs, 40);

  // Next to the source, on the VCD tab with the NTSC norm.
  W().edtOutPath->setText(QStringLiteral("同一目录"));
  W().PageControl1->setCurrentIndex(3);
  EXPECT_EQ(W().BuildOutputOptions().FileName,
            F.Folders.Path(QStringLiteral("src/p_(new)_vcd_ntsc.mpg")).toStdU16String());
}

TEST_F(ConversionListTest, OutputFolderButtons) {
  const QString Chosen = F.Folders.Path(QStringLiteral("chosen"));
  QDir().mkpath(Chosen);

  // The folder of the edit is where the dialog starts; the choice comes back
  // with a trailing separator.
  Services->DirectoryAnswer = Chosen;
  W().btnOutPath->click();
  ASSERT_EQ(Services->DirectoryTitles.size(), 1u);
  EXPECT_EQ(Services->DirectoryTitles[0], QStringLiteral("Select Output Folder"));
  EXPECT_EQ(Services->DirectoryStarts[0], OutDir());
  EXPECT_EQ(W().edtOutPath->text(), Chosen + QLatin1Char('/'));

  // "同一目录": the folder of the last source, or nothing before the first.
  W().edtOutPath->setText(QStringLiteral("同一目录"));
  Services->DirectoryAnswer.clear();
  W().btnOutPath->click();
  EXPECT_EQ(Services->DirectoryStarts[1], QString());
  EXPECT_EQ(W().edtOutPath->text(), QStringLiteral("同一目录"));  // cancelled
  AddClip(Source("avi", QStringLiteral("here.avi")));
  W().btnOutPath->click();
  EXPECT_EQ(Services->DirectoryStarts[2], F.Folders.Path(QStringLiteral("src/")));

  // A folder that does not exist does not start the dialog.
  W().edtOutPath->setText(F.Folders.Path(QStringLiteral("gone/")));
  W().btnOutPath->click();
  EXPECT_EQ(Services->DirectoryStarts[3], QString());

  // A CD-ROM folder is refused.
  QString Checked;
  W().FolderOnCdRom = [&](const QString& AFolder) {
    Checked = AFolder;
    return true;
  };
  W().edtOutPath->setText(OutDir());
  Services->DirectoryAnswer = Chosen;
  W().btnOutPath->click();
  EXPECT_EQ(Checked, Chosen + QLatin1Char('/'));
  EXPECT_EQ(W().edtOutPath->text(), OutDir());
  ASSERT_EQ(Services->Messages.size(), 1u);
  EXPECT_EQ(Services->Messages[0].Text, QStringLiteral("Output folder cannot be located in CD-ROM."));
  EXPECT_EQ(Services->Messages[0].Icon, QMessageBox::Information);
  EXPECT_FALSE(IsCdRomFolder(OutDir()));

  // "打开目录" opens an existing folder only; "同一目录" is a folder of that
  // name in the current directory, made at start-up if it was configured.
  W().btnOpenPath->click();
  ASSERT_EQ(Services->OpenedUrls.size(), 1u);
  EXPECT_EQ(Services->OpenedUrls[0], QUrl::fromLocalFile(OutDir()));
  W().edtOutPath->setText(QStringLiteral("同一目录"));
  W().btnOpenPath->click();
  EXPECT_EQ(Services->OpenedUrls.size(), 1u);
  QDir(F.Folders.CurrentDir()).mkdir(QStringLiteral("同一目录"));
  W().btnOpenPath->click();
  ASSERT_EQ(Services->OpenedUrls.size(), 2u);
  EXPECT_EQ(Services->OpenedUrls[1], QUrl::fromLocalFile(F.Folders.CurrentDir() + QStringLiteral("同一目录")));
  W().edtOutPath->clear();
  W().btnOpenPath->click();
  EXPECT_EQ(Services->OpenedUrls.size(), 2u);
}

// ---------------------------------------------------------------------------
// The progress column

TEST(ProgressColumnTest, PercentOfTheText) {
  const std::pair<QString, int> Cases[] = {
      {"0%", 0}, {"42%", 42}, {"100%", 100},      {"130%", 100},  {"-5%", 0},   {"N/A", -1}, {"", -1},
      {"%", -1}, {"4x%", -1}, {"37% 已停止", 37}, {"已停止", -1}, {"失败", -1}, {"5%%", -1}};
  for (const auto& [Text, Percent] : Cases) EXPECT_EQ(ProgressPercentOfText(Text), Percent) << Text.toStdString();
}

TEST_F(ConversionListTest, ProgressColumnDrawsABarBehindItsText) {
  EXPECT_NE(qobject_cast<TProgressDelegate*>(W().lvFiles->itemDelegateForColumn(lcProgress)), nullptr);
  auto* Item = new QTreeWidgetItem(W().lvFiles);
  const QModelIndex Index = W().lvFiles->model()->index(0, lcProgress);

  // Paints the cell with AText on white; the share of its columns (at mid
  // height) that are not white nor the text's colour.
  auto FilledShare = [&](const QString& AText) {
    Item->setText(lcProgress, AText);
    QImage Picture(200, 20, QImage::Format_RGB32);
    Picture.fill(Qt::white);
    QPainter Painter(&Picture);
    QStyleOptionViewItem Option;
    Option.initFrom(W().lvFiles);
    Option.rect = Picture.rect();
    Option.state = QStyle::State_Enabled;
    W().lvFiles->itemDelegateForColumn(lcProgress)->paint(&Painter, Option, Index);
    Painter.end();
    const QColor Chunk = W().lvFiles->palette().color(QPalette::Highlight);
    int Filled = 0;
    for (int X = 0; X < Picture.width(); ++X) {
      const QColor C = Picture.pixelColor(X, 4);
      if (std::abs(C.hue() - Chunk.hue()) < 20 && C.saturation() > 60) ++Filled;
    }
    return Filled * 100 / Picture.width();
  };
  EXPECT_EQ(FilledShare(QString()), 0);
  EXPECT_EQ(FilledShare(QStringLiteral("N/A")), 0);
  const int Half = FilledShare(QStringLiteral("50%"));
  EXPECT_GE(Half, 35);
  EXPECT_LE(Half, 60);
  EXPECT_GE(FilledShare(QStringLiteral("100%")), 85);
}
