// The main window's tool tips: what each tool-bar button does, what each
// format tab writes (its video and audio codecs and container, as
// converter/Profiles.cpp and the engine's targets choose them), and what
// each option does to the output.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <iterator>
#include <utility>

#include "app/RadioGroup.h"
#include "app/TrackBar.h"
#include "app/U_Main.h"

namespace {

void SetActionToolTips(TFrm_Main& AWindow) {
  AWindow.AddFile->setToolTip(TFrm_Main::tr("添加要转换的视频、音频或图片文件（也可以把文件和目录拖到列表中）"));
  AWindow.DelFile->setToolTip(TFrm_Main::tr("从列表中删除选中的文件"));
  AWindow.ClearFile->setToolTip(TFrm_Main::tr("清除列表中的全部文件"));
  AWindow.Convert->setToolTip(TFrm_Main::tr("把列表中的全部文件转换为所选标签页的格式"));
  AWindow.Convert_Stop->setToolTip(TFrm_Main::tr("停止转换；已写出的文件仍可播放，只是较短"));
  AWindow.M_Help->setToolTip(TFrm_Main::tr("打开帮助页"));
  AWindow.Play->setToolTip(TFrm_Main::tr("在预览窗口中播放列表中选中的文件"));
  AWindow.StopPlay->setToolTip(TFrm_Main::tr("停止预览"));
  // The buttons that show captions of their own say what their actions say;
  // the others take the tip from their action.
  for (auto [Button, Action] :
       {std::pair{AWindow.tbAddFile, AWindow.AddFile}, std::pair{AWindow.tbDelFile, AWindow.DelFile},
        std::pair{AWindow.tbClearFile, AWindow.ClearFile}})
    Button->setToolTip(Action->toolTip());
  AWindow.TrackBar1->setToolTip(TFrm_Main::tr("拖动到源文件的另一位置"));
}

void SetTabToolTips(TFrm_Main& AWindow) {
  // In the order of the tabs: 3GP, MP4, AVI, VCD, DVD, Flv, WMV.
  const QString Tips[] = {
      TFrm_Main::tr("3GP：供手机播放。视频 H.263，画面固定为 128x96；音频 AMR-NB（单声道，8 kHz，7.4 kbit/s）；"
                    "3GP 容器"),
      TFrm_Main::tr("MP4：供电脑、手机和网页播放。视频 H.264（High 规格）；音频 AAC；MP4 容器"),
      TFrm_Main::tr("AVI：供电脑和 DivX 播放机播放。视频 MPEG-4 Part 2；音频 MP3；AVI 容器"),
      TFrm_Main::tr("VCD：刻录 VCD 光盘。视频 MPEG-1（PAL 352x288 或 NTSC 352x240，1150 kbit/s）；"
                    "音频 MP2（立体声，44.1 kHz）；MPEG-1 节目流（.mpg）"),
      TFrm_Main::tr("DVD：制作 DVD 视频光盘。视频 MPEG-2（PAL 720x576 或 NTSC 720x480）；音频 AC-3（48 kHz）；"
                    "MPEG-2 节目流（.mpg）"),
      TFrm_Main::tr("Flv：供网页中的 Flash 播放器播放。视频 Sorenson H.263（FLV1）；音频 MP3；FLV 容器"),
      TFrm_Main::tr("WMV：供 Windows Media Player 播放。视频 WMV2（Windows Media Video 8）；音频 WMA（WMAv2）；"
                    "ASF 容器（.wmv）"),
  };
  for (int I = 0; I < AWindow.PageControl1->count() && I < static_cast<int>(std::size(Tips)); ++I)
    AWindow.PageControl1->setTabToolTip(I, Tips[I]);
}

void SetOptionToolTips(TFrm_Main& AWindow) {
  AWindow.cboFrameSize->setToolTip(
      TFrm_Main::tr("输出画面的宽和高；“自动”保持源文件的尺寸。3GP 固定为 128x96，VCD 和 DVD 用电视制式的尺寸"));
  AWindow.grpAudioChannels->setToolTip(
      TFrm_Main::tr("输出声音的声道；“自动”保持源文件的声道。3GP 总是单声道，VCD 总是立体声"));
  AWindow.chkVideoBitRate->setToolTip(
      TFrm_Main::tr("选中时按右边的码率编码视频，不选时为 600 kbit/s。VCD 总是 1150 kbit/s"));
  AWindow.edtVideoBitRate->setToolTip(TFrm_Main::tr("视频码率，单位 kbit/s"));
  AWindow.chkAudioBitRate->setToolTip(
      TFrm_Main::tr("选中时按右边的码率编码声音，不选时用格式的默认码率。3GP 总是 7.4 kbit/s"));
  AWindow.edtAudioBitRate->setToolTip(TFrm_Main::tr("音频码率，单位 kbit/s"));
  AWindow.grpFrameRate->setToolTip(TFrm_Main::tr("每秒的画面数；“自动”保持源文件的帧率。VCD 和 DVD 用电视制式的帧率"));
  AWindow.grpNorm->setToolTip(
      TFrm_Main::tr("VCD 和 DVD 的电视制式：PAL（25 帧/秒）或 NTSC（29.97 帧/秒）；“自动”按源文件的帧率选择，"
                    "无法判断时用 PAL"));
  // The folder text that means "next to each source" is the same in every
  // language: it is a value of the settings.
  AWindow.edtOutPath->setToolTip(
      TFrm_Main::tr("保存转换结果的目录；“%1”保存在每个源文件旁边。结果名为“名称_(new).扩展名”，"
                    "该名已被占用时为“名称_(new_1).扩展名”等，不会覆盖已有的文件")
          .arg(kSameFolderText));
  AWindow.btnOutPath->setToolTip(TFrm_Main::tr("选择保存转换结果的目录"));
  AWindow.btnOpenPath->setToolTip(TFrm_Main::tr("在文件管理器中打开输出目录"));
}

}  // namespace

void TFrm_Main::SetToolTips() {
  SetActionToolTips(*this);
  SetTabToolTips(*this);
  SetOptionToolTips(*this);
}
