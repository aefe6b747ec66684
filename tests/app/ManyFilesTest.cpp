// Folders and batches of many files in the window: a folder stands for the
// media files under it, in the order a file manager shows; adding them and
// starting their batch leave the window's event loop turning; an adding
// can be cancelled and keeps the rows it has added.

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "app/DialogFilter.h"
#include "app/SourceAdder.h"
#include "tests/app/ConversionTestSupport.h"

namespace {

// The longest the event loop may stand still. Under the sanitizers every
// step takes several times as long; the bound is the product build's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr qint64 kMostStillMs = 500;
#else
constexpr qint64 kMostStillMs = 100;
#endif

// The longest time between two turns of the event loop while it is watched.
class TLoopTurns {
 public:
  TLoopTurns() {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (FSince.isValid()) FLongest = std::max(FLongest, FSince.elapsed());
      FSince.restart();
    });
    FTimer.start();
  }
  qint64 LongestMs() const { return FLongest; }

 private:
  QTimer FTimer;
  QElapsedTimer FSince;
  qint64 FLongest = 0;
};

class ManyFilesTest : public ConversionTest {
 protected:
  void SetUp() override { Open(); }

  // AFiles copies of a tiny clip (64x48, 0.2 s, sound) named s1.avi ... in
  // AFolder, and a file that is not media.
  QString Folder(const QString& AFolder, int AFiles) {
    testmedia::ClipSpec Spec;
    Spec.container = "avi";
    Spec.width = 64;
    Spec.height = 48;
    Spec.durationSec = 0.2;
    const QString Clip = QString::fromStdString(testmedia::CachedClip(Spec));
    const QString Path = F.Folders.Path(AFolder);
    QDir().mkpath(Path);
    for (int I = 1; I <= AFiles; ++I)
      if (!QFile::copy(Clip, Path + QStringLiteral("/s%1.avi").arg(I))) ADD_FAILURE() << "copy";
    WriteBytes(Path + QStringLiteral("/readme.txt"), "not media\n");
    return Path;
  }
};

}  // namespace

TEST(SourceAdderTest, FoldersStandForTheirMediaFilesInFileManagerOrder) {
  TTestFolders Folders;
  const QString Root = Folders.Path(QStringLiteral("tree"));
  const QStringList Made = {QStringLiteral("clip10.avi"),  QStringLiteral("clip2.AVI"),    QStringLiteral("notes.txt"),
                            QStringLiteral(".hidden.mp4"), QStringLiteral("sub/b.mkv"),    QStringLiteral("sub/a.wav"),
                            QStringLiteral("Sub2/c.png"),  QStringLiteral("sub/deep/d.ts")};
  for (const QString& Name : Made) {
    QDir().mkpath(QFileInfo(Root + QLatin1Char('/') + Name).absolutePath());
    WriteBytes(Root + QLatin1Char('/') + Name, "x");
  }
  // A link back up the tree is not followed.
  ASSERT_TRUE(QFile::link(Root, Root + QStringLiteral("/sub/loop")));
  const QString Named = Folders.Path(QStringLiteral("other.xyz"));
  WriteBytes(Named, "x");

  const QStringList Patterns = ParseDialogFilter(kMediaFileFilter).first().Patterns;
  const QStringList Files = ExpandSources({Named, Root}, Patterns);
  QStringList Relative;
  for (const QString& File : Files) Relative.append(File.startsWith(Root) ? File.mid(Root.size() + 1) : File);
  EXPECT_EQ(Relative,
            (QStringList{Named, QStringLiteral("clip2.AVI"), QStringLiteral("clip10.avi"), QStringLiteral("sub/a.wav"),
                         QStringLiteral("sub/b.mkv"), QStringLiteral("sub/deep/d.ts"), QStringLiteral("Sub2/c.png")}));
}

TEST_F(ManyFilesTest, FiveHundredFilesAddAndConvertWhileTheWindowGoesOn) {
  constexpr int kFiles = 500;
  const QString Path = Folder(QStringLiteral("src/phone"), kFiles);
  Services->DirectoryAnswer = Path;

  // Cancelled once the first rows are in: they stay, and no more come.
  W().AddFolder->trigger();
  ASSERT_TRUE(W().Adding());
  EXPECT_EQ(ActionStates(W()), "-E---");
  ASSERT_TRUE(WaitUntil([this] { return RowCount() >= 3; }));
  EXPECT_FALSE(W().btnStatusCancel->isHidden());
  EXPECT_FALSE(W().lblStatus->text().isEmpty());
  W().btnStatusCancel->click();
  EXPECT_FALSE(W().Adding());
  EXPECT_TRUE(W().lblStatus->text().isEmpty());
  const int Kept = RowCount();
  EXPECT_LT(Kept, kFiles);
  EXPECT_EQ(ActionStates(W()), "EEEE-");
  const auto Settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  WaitUntil([&] { return std::chrono::steady_clock::now() > Settle; });
  EXPECT_EQ(RowCount(), Kept);
  W().ClearFile->trigger();

  // The whole folder, in order, with the event loop turning throughout.
  const qsizetype AddedBefore =
      W().mmolog->toPlainText().count(QStringLiteral("***File has been added to convert list."));
  {
    TLoopTurns Turns;
    W().AddFolder->trigger();
    ASSERT_TRUE(WaitAdded());
    EXPECT_LE(Turns.LongestMs(), kMostStillMs) << "the event loop stood still while adding";
  }
  ASSERT_EQ(RowCount(), kFiles);
  for (int I : {0, 1, 9, kFiles - 1}) EXPECT_EQ(Row(I)->text(lcSource), QStringLiteral("s%1.avi").arg(I + 1));
  EXPECT_EQ(W().mmolog->toPlainText().count(QStringLiteral("***File has been added to convert list.")) - AddedBefore,
            kFiles);
  EXPECT_EQ(ActionStates(W()), "EEEE-");

  // The batch: the start returns before every row is queued, and the
  // window keeps turning while rows are queued and converted.
  TLoopTurns Turns;
  W().Convert->trigger();
  EXPECT_TRUE(W().Preparing());
  EXPECT_EQ(ActionStates(W()), "----E");
  ASSERT_TRUE(WaitUntil([this] { return BatchOver(); }, 120000)) << ActionStates(W());
  EXPECT_LE(Turns.LongestMs(), kMostStillMs) << "the event loop stood still during the batch";
  int Done = 0;
  for (int I = 0; I < kFiles; ++I)
    if (Row(I)->text(lcProgress) == QStringLiteral("100%")) ++Done;
  EXPECT_EQ(Done, kFiles);
  int Written = 0;
  for (const QFileInfo& Output : QDir(OutDir()).entryInfoList(QDir::Files))
    if (Output.suffix() == QStringLiteral("3gp") && Output.size() > 0) ++Written;
  EXPECT_EQ(Written, kFiles);
  EXPECT_TRUE(Services->Messages.empty()) << Services->Messages[0].Text.toStdString();
}

TEST_F(ManyFilesTest, StoppingWhileTheBatchIsPreparedEndsIt) {
  const QString Path = Folder(QStringLiteral("src/many"), 300);
  Services->DirectoryAnswer = Path;
  W().AddFolder->trigger();
  ASSERT_TRUE(WaitAdded());
  ASSERT_EQ(RowCount(), 300);
  W().Convert->trigger();
  ASSERT_TRUE(W().Preparing());
  W().btnStatusCancel->click();
  EXPECT_FALSE(W().Preparing());
  ASSERT_TRUE(WaitBatchEnd()) << ActionStates(W());
  // No row converted, and no reserved name is left behind.
  const auto Settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  WaitUntil([&] { return std::chrono::steady_clock::now() > Settle; });
  EXPECT_TRUE(QDir(OutDir()).entryList(QDir::Files | QDir::Hidden).isEmpty())
      << QDir(OutDir()).entryList(QDir::Files | QDir::Hidden).join(QLatin1Char(' ')).toStdString();
}
