// The video output path: frame-rate synchronisation (drops, duplicates, the
// vsync methods and the automatic choice), the frame limit, crop, scale and
// pad checked on the decoded pictures, an input whose frame size changes,
// the hook stage (hook ranges, the before-hook and custom-hook events, hook
// modules) and the post hooks (preview bitmap event, preview window), and
// the video statistics file.
//
// Two kinds of test: whole conversions of generated clips, decoded again
// picture by picture, and the bench of EngineBench.h with a rawvideo
// encoder (one packet per picture, at once) into a real muxer.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/FrameHook.h"
#include "runtime/Previewer.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwScale.h"
#include "tests/engine/EngineBench.h"

namespace {

using namespace transcodetest;
using namespace enginebench;

// ---- Clips and their pictures ----

// A clip without sound. avi is MPEG-4 Visual without B-frames, so every
// packet's time is its picture's time.
testmedia::ClipSpec VideoSpec(const std::string& AContainer, int AWidth, int AHeight, int AFpsNum, int AFpsDen,
                              double ASeconds) {
  testmedia::ClipSpec spec;
  spec.container = AContainer;
  spec.width = AWidth;
  spec.height = AHeight;
  spec.fpsNum = AFpsNum;
  spec.fpsDen = AFpsDen;
  spec.durationSec = ASeconds;
  spec.audio = false;
  return spec;
}

std::string VideoClip(const std::string& AContainer, int AWidth, int AHeight, int AFpsNum, int AFpsDen,
                      double ASeconds) {
  return testmedia::CachedClip(VideoSpec(AContainer, AWidth, AHeight, AFpsNum, AFpsDen, ASeconds));
}

// 320x240 at 25 fps, one second: 25 pictures.
std::string Picture320() { return VideoClip("avi", 320, 240, 25, 1, 1.0); }

// Every picture of the first video stream of a decoded file.
std::vector<TPicture> PicturesOf(const TDecodedFile& AFile) {
  EXPECT_TRUE(AFile.Opened) << AFile.Error;
  EXPECT_NE(AFile.Video(), nullptr);
  return AFile.Video() ? AFile.Video()->Pictures : std::vector<TPicture>{};
}
std::vector<TPicture> PicturesOf(const std::string& APath) { return PicturesOf(DecodeAll(APath, true)); }

// Converts ASource into an AVI file and gives its pictures.
std::vector<TPicture> ConvertPictures(const std::string& ASource, const TOptionList& AOptions) {
  TTempFolder dir;
  return PicturesOf(Convert(dir, ASource, AOptions, "out.avi", {}, true));
}

// ---- The bench: the encoding step on its own ----

// A yuv420p rawvideo encoder; the input clock is set by each call, the way
// the decoding step sets it.
class TVideoBench : public TStreamBench {
 public:
  // An encoder of AWidth x AHeight in ATimeBase, writing into AMuxer.
  bool Open(const char* AMuxer, int AWidth, int AHeight, AVRational ATimeBase) {
    const AVCodec* codec = lib::avcodec_find_encoder(AV_CODEC_ID_RAWVIDEO);
    if (!codec) return false;
    FEncoder = lib::avcodec_alloc_context3(codec);
    FEncoder->width = AWidth;
    FEncoder->height = AHeight;
    FEncoder->pix_fmt = AV_PIX_FMT_YUV420P;
    FEncoder->time_base = ATimeBase;
    FEncoder->framerate = AVRational{ATimeBase.den, ATimeBase.num};
    if (lib::avcodec_open2(FEncoder, codec, nullptr) < 0) return false;
    Out->Encoder = FEncoder;
    return OpenOutput(AMuxer);
  }

  // The scaler the set-up plans for an input of AWidth x AHeight (yuv420p)
  // with the given crop bands.
  bool PlanScaling(int AWidth, int AHeight, int ATop, int ABottom, int ALeft, int ARight) {
    Out->VideoCrop = (ATop || ABottom || ALeft || ARight) ? 1 : 0;
    Out->TopBand = Out->ConfiguredTopBand = ATop;
    Out->BottomBand = Out->ConfiguredBottomBand = ABottom;
    Out->LeftBand = Out->ConfiguredLeftBand = ALeft;
    Out->RightBand = Out->ConfiguredRightBand = ARight;
    Out->VideoResample = 1;
    Out->ScaledPicture = lib::av_frame_alloc();
    Out->ScaledPicture->format = FEncoder->pix_fmt;
    Out->ScaledPicture->width = FEncoder->width;
    Out->ScaledPicture->height = FEncoder->height;
    if (lib::av_frame_get_buffer(Out->ScaledPicture, 0) < 0) return false;
    Out->ScalerContext =
        lib::sws_getContext(AWidth - ALeft - ARight, AHeight - ATop - ABottom, AV_PIX_FMT_YUV420P, FEncoder->width,
                            FEncoder->height, FEncoder->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    Out->InitialHeight = AHeight;
    Out->InitialWidth = AWidth;
    Out->ResampleHeight = AHeight - ATop - ABottom;
    Out->ResampleWidth = AWidth - ALeft - ARight;
    Out->ResamplePixFmt = AV_PIX_FMT_YUV420P;
    return Out->ScalerContext != nullptr;
  }

  // A decoded picture at APtsUs on the input clock (of the encoder's size
  // unless given), through the encoding step; its result.
  int Feed(int64_t APtsUs, int AWidth = 0, int AHeight = 0, AVPixelFormat AFormat = AV_PIX_FMT_YUV420P) {
    lib::av_frame_unref(FFrame);
    FFrame->format = AFormat;
    FFrame->width = AWidth > 0 ? AWidth : FEncoder->width;
    FFrame->height = AHeight > 0 ? AHeight : FEncoder->height;
    if (lib::av_frame_get_buffer(FFrame, 0) < 0) throw std::runtime_error("no picture buffer");
    const AVPixFmtDescriptor* desc = lib::av_pix_fmt_desc_get(AFormat);
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane ? -((-FFrame->height) >> desc->log2_chroma_h) : FFrame->height;
      for (int y = 0; y < rows; ++y)
        std::memset(FFrame->data[plane] + static_cast<ptrdiff_t>(y) * FFrame->linesize[plane], plane ? 128 : 100,
                    static_cast<size_t>(FFrame->linesize[plane]));
    }
    In->Pts = APtsUs;
    return FEngine.EncodeVideoFrame(FRun, *Out, *In, FFrame);
  }
  // A picture whose input time is ATicks encoder ticks ahead of the output
  // (the vdelta of the synchronisation).
  int FeedAhead(double ATicks) {
    const double seconds = (static_cast<double>(Out->OutputTicks) + ATicks) * av_q2d(FEncoder->time_base);
    return Feed(std::llround(seconds * 1000000.0));
  }
};

constexpr AVRational k25Fps{1, 25};

}  // namespace

// ---- Synchronisation ----

TEST(VideoPathSync, HalfASecondAheadDuplicatesTheFirstPictureTwelveTimes) {
  TVideoBench bench;
  ASSERT_TRUE(bench.Open("framecrc", 32, 16, k25Fps));
  bench.Engine().SetVideoSyncMethod(1);  // framecrc takes a variable rate: the automatic method would not duplicate
  bench.Engine().SetVerbose(3);
  ClearLogLines();
  bench.Feed(500000);  // vdelta = 0.5 s / (1/25 s) - 0 = 12.5
  EXPECT_EQ(bench.Out->OutputTicks, 13);
  EXPECT_EQ(bench.Out->FrameNumber, 13);
  EXPECT_EQ(bench.Engine().FramesDuplicated(), 12);
  EXPECT_EQ(bench.Engine().FramesDropped(), 0);
  EXPECT_TRUE(Logged(llVerbose, "*** 12 dup!"));
  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 13u);
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].Pts, static_cast<int64_t>(i));
    EXPECT_EQ(packets[i].Size, 32 * 16 * 3 / 2);
  }
}

TEST(VideoPathSync, DropsAndDuplicatesAreLoggedOnlyFromVerbosityThree) {
  TVideoBench bench;
  ASSERT_TRUE(bench.Open("framecrc", 32, 16, k25Fps));
  bench.Engine().SetVerbose(2);
  bench.Engine().SetVideoSyncMethod(1);
  ClearLogLines();
  bench.FeedAhead(3);     // n = 3
  bench.FeedAhead(-1.2);  // dropped
  EXPECT_EQ(bench.Engine().FramesDuplicated(), 2);
  EXPECT_EQ(bench.Engine().FramesDropped(), 1);
  EXPECT_EQ(LinesContaining("dup!"), 0);
  EXPECT_EQ(LinesContaining("drop!"), 0);

  bench.Engine().SetVerbose(3);
  bench.FeedAhead(-1.2);
  EXPECT_TRUE(Logged(llVerbose, "*** drop!"));
  EXPECT_EQ(bench.Engine().FramesDropped(), 2);
  bench.Close();
}

// Method 1 keeps the frame rate constant: it drops only a picture more than
// 1.1 ticks late and duplicates one more than 1.1 ticks early. Method 2
// (variable frame rate) never duplicates: it drops a picture 0.6 ticks late
// and lets the output clock jump to a picture more than 0.6 ticks early.
// Method 0 takes the input clock for every picture. The automatic method
// (-1) synchronises with the rules of method 2 for a muxer that takes a
// variable frame rate and of method 1 for others; with an encoder time
// base of a millisecond or less it does not synchronise: the output clock
// follows the input and every picture is written once.
TEST(VideoPathSync, TheMethodsDropDuplicateOrJumpAtTheirThresholds) {
  struct TCase {
    const char* Name;
    const char* Muxer;
    AVRational TimeBase;
    int Method;
    bool Absolute;  // Feeds are input times in microseconds, else ticks ahead
    std::vector<double> Feeds;
    int Drops, Dups, Frames;
    int64_t Ticks;
    std::vector<int64_t> Pts;  // empty: not checked
  };
  const AVRational ms{1, 1000};
  const TCase cases[] = {
      // Dropped; kept (written at 1); kept where the output is (2); still
      // one picture (3); two pictures (4 and 5).
      {"method 1", "framecrc", k25Fps, 1, false, {0, -1.2, -0.8, 0.8, 1.0, 1.6}, 1, 1, 6, 6, {0, 1, 2, 3, 4, 5}},
      // Dropped twice; kept (1); kept where the output is (2); input at
      // 3.8: the clock jumps to 4; input at 17.3: it jumps to 17.
      {"method 2", "framecrc", k25Fps, 2, false, {0, -1.2, -0.8, -0.4, 0.5, 0.8, 12.3}, 2, 0, 5, 18, {0, 1, 2, 4, 17}},
      {"method 0", "framecrc", k25Fps, 0, true, {0, 400000, 480000}, 0, 0, 3, 13, {0, 10, 12}},
      {"automatic, variable rate", "framecrc", k25Fps, -1, false, {0, -0.8, 2.0}, 1, 0, 2, 4, {0, 3}},
      {"automatic, constant rate", "avi", k25Fps, -1, false, {0, -0.8, 2.0}, 0, 1, 4, 4, {}},
      // 459 ticks ahead: still one picture.
      {"automatic, millisecond ticks", "framecrc", ms, -1, true, {0, 40000, 500000}, 0, 0, 3, 501, {0, 40, 500}},
      // Method 1 asked for: 39 ticks ahead is 38 duplicates.
      {"method 1, millisecond ticks", "framecrc", ms, 1, true, {0, 40000}, 0, 38, 40, 40, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TVideoBench bench;
    ASSERT_TRUE(bench.Open(c.Muxer, 32, 16, c.TimeBase));
    ASSERT_EQ((bench.Muxer()->oformat->flags & AVFMT_VARIABLE_FPS) != 0, std::string(c.Muxer) == "framecrc");
    if (c.Method == -1)
      ASSERT_EQ(bench.Engine().Settings().Run.FVideoSyncMethod, -1);
    else
      bench.Engine().SetVideoSyncMethod(c.Method);
    for (double feed : c.Feeds) c.Absolute ? bench.Feed(std::llround(feed)) : bench.FeedAhead(feed);
    EXPECT_EQ(bench.Engine().FramesDropped(), c.Drops);
    EXPECT_EQ(bench.Engine().FramesDuplicated(), c.Dups);
    EXPECT_EQ(bench.Out->FrameNumber, c.Frames);
    EXPECT_EQ(bench.Out->OutputTicks, c.Ticks);
    const std::vector<int64_t> pts = PtsOf(bench.Close());
    if (!c.Pts.empty()) {
      EXPECT_EQ(pts, c.Pts);
    }
  }
}

TEST(VideoPathSync, TheFrameLimitCutsDuplicates) {
  TVideoBench bench;
  ASSERT_TRUE(bench.Open("framecrc", 32, 16, k25Fps));
  bench.Engine().SetVideoSyncMethod(1);
  bench.Engine().SetOption("vframes", "100");
  bench.Out->FrameNumber = 99;
  bench.Out->OutputTicks = 99;
  EXPECT_GT(bench.FeedAhead(2.6), 0);  // n = 3, one frame left
  EXPECT_EQ(bench.Engine().FramesDuplicated(), 2) << "counted before the limit";
  EXPECT_EQ(bench.Out->FrameNumber, 100);
  EXPECT_EQ(bench.Out->OutputTicks, 100);
  EXPECT_EQ(bench.FeedAhead(0), 0);  // nothing more
  EXPECT_EQ(bench.Out->FrameNumber, 100);
  EXPECT_EQ(PtsOf(bench.Close()), (std::vector<int64_t>{99}));
}

// Whole conversions: the input's timing decides what is written.
TEST(VideoPathSync, AnInputOffsetOfHalfASecondRepeatsTheFirstPicture) {
  TTempFolder folder;
  testmedia::ClipSpec spec = VideoSpec("mkv", 160, 120, 25, 1, 0.04);  // one picture, times in ms
  spec.videoCodec = "mpeg4";
  TConversion conversion;
  ASSERT_TRUE(conversion.SetOptions({{"v", "3"}}));
  ClearLogLines();
  ASSERT_TRUE(conversion.Run(testmedia::CachedClip(spec), {{"r", "25"}}, folder / "late.avi", {{"itsoffset", "0.5"}}));
  EXPECT_EQ(conversion.Engine().FramesDuplicated(), 12);
  EXPECT_EQ(conversion.Engine().FramesDropped(), 0);
  EXPECT_TRUE(Logged(llVerbose, "*** 12 dup!"));
  EXPECT_EQ(PicturesOf(folder / "late.avi").size(), 13u);
}

// 12.5 pictures a second made into 25: a constant-rate muxer (AVI) gets
// every picture after the first two twice; a variable-rate one (Matroska)
// gets each picture once, unless method 1 is asked for. 50 pictures a
// second made into 25: after the first two, every other picture is dropped.
TEST(VideoPathSync, ChangingTheFrameRateDuplicatesOrDropsForConstantRateMuxers) {
  struct TCase {
    const char* File;
    std::string Source;
    const char* Method;  // empty: automatic
    int Frames, Dups, Drops;
  };
  const std::string slow = VideoClip("avi", 160, 120, 25, 2, 2.0);  // 25 pictures
  const TCase cases[] = {{"cfr.avi", slow, "", 48, 23, 0},
                         {"vfr.mkv", slow, "", 25, 0, 0},
                         {"forced.mkv", slow, "1", 48, 23, 0},
                         {"half.avi", VideoClip("avi", 160, 120, 50, 1, 1.0), "", 26, 0, 24}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    TTempFolder folder;
    TConversion conversion;
    TOptionList options = {{"r", "25"}, {"vcodec", "mpeg4"}};
    if (*c.Method) options.push_back({"vsync", c.Method});
    ASSERT_TRUE(conversion.Run(c.Source, options, folder / c.File));
    EXPECT_EQ(conversion.Engine().FramesDuplicated(), c.Dups);
    EXPECT_EQ(conversion.Engine().FramesDropped(), c.Drops);
    EXPECT_EQ(static_cast<int>(PicturesOf(folder / c.File).size()), c.Frames);
  }
}

TEST(VideoPathSync, VframesLimitsThePicturesWritten) {
  EXPECT_EQ(ConvertPictures(Picture320(), {{"vframes", "10"}}).size(), 10u);
}

// ---- Crop, scale, pad ----

// 320x240 with its quadrants split at column 160 and row 120; the moving
// bar covers rows 90 to 149. padcolor is 0xBBGGRR: yellow is 0x00FFFF; the
// default is black.
TEST(VideoPathPicture, CropScaleAndPadShapeThePicture) {
  using testmedia::kTopLeft, testmedia::kTopRight, testmedia::kBottomLeft, testmedia::kBottomRight;
  constexpr testmedia::Rgb kYellow{255, 255, 0}, kBlack{0, 0, 0};
  struct TColour {
    testmedia::Rect Area;
    testmedia::Rgb Colour;
    const char* Name;
    double Tolerance = 24;
  };
  struct TCase {
    const char* Name;
    TOptionList Options;
    int Width, Height;
    std::vector<size_t> Checked;  // the pictures whose colours are checked
    std::vector<TColour> Colours;
    testmedia::Rect Pattern;  // where the whole pattern is (w = 0: nowhere)
  };
  const TCase cases[] = {
      // The split is now at column 128 and row 80; the bar at rows 50 to 109.
      {"crop",
       {{"croptop", "40"}, {"cropbottom", "20"}, {"cropleft", "32"}, {"cropright", "64"}},
       224,
       180,
       {0, 24},
       {{{4, 4, 118, 40}, kTopLeft, "top left"},
        {{134, 4, 86, 40}, kTopRight, "top right"},
        {{4, 116, 118, 60}, kBottomLeft, "bottom left"},
        {{134, 116, 86, 60}, kBottomRight, "bottom right"}},
       {0, 0, 0, 0}},
      {"scale", {{"s", "160x96"}}, 160, 96, {12}, {}, {0, 0, 160, 96}},
      {"pad",
       {{"padtop", "16"}, {"padbottom", "32"}, {"padleft", "48"}, {"padright", "16"}, {"padcolor", "65535"}},
       384,
       288,
       {0, 24},
       {{{0, 0, 384, 12}, kYellow, "top pad"},
        {{0, 260, 384, 28}, kYellow, "bottom pad"},
        {{0, 20, 44, 232}, kYellow, "left pad"},
        {{372, 20, 12, 232}, kYellow, "right pad"}},
       {48, 16, 320, 240}},
      // Cropped to 224x180 (split at 128, 80), scaled to 112x90 (split at
      // 64, 40; the bar at rows 25 to 54), padded by 8 on each side.
      {"all three",
       {{"croptop", "40"},
        {"cropbottom", "20"},
        {"cropleft", "32"},
        {"cropright", "64"},
        {"s", "112x90"},
        {"padtop", "8"},
        {"padbottom", "8"},
        {"padleft", "8"},
        {"padright", "8"}},
       128,
       106,
       {12},
       {{{0, 0, 128, 6}, kBlack, "top pad"},
        {{0, 100, 128, 6}, kBlack, "bottom pad"},
        {{0, 10, 6, 86}, kBlack, "left pad"},
        {{122, 10, 6, 86}, kBlack, "right pad"},
        {{8 + 4, 8 + 3, 56, 17}, kTopLeft, "top left"},
        {{8 + 68, 8 + 3, 40, 17}, kTopRight, "top right"},
        {{8 + 4, 8 + 58, 56, 28}, kBottomLeft, "bottom left"},
        {{8 + 68, 8 + 58, 40, 28}, kBottomRight, "bottom right"}},
       {0, 0, 0, 0}},
      // An odd number of rows or columns: the chroma planes, a half as
      // large, are padded by the rounded-down half.
      {"odd padding",
       {{"padtop", "3"}, {"padbottom", "5"}, {"padleft", "7"}, {"padright", "9"}, {"padcolor", "65535"}},
       336,
       248,
       {12},
       {{{0, 244, 336, 4}, kYellow, "bottom pad", 40}, {{328, 8, 8, 232}, kYellow, "right pad", 40}},
       {7, 3, 320, 240}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TOptionList options = c.Options;
    options.push_back({"qscale", "2"});
    ClearLogLines();
    const std::vector<TPicture> pictures = ConvertPictures(Picture320(), options);
    EXPECT_FALSE(LogContains("error padding picture"));
    ASSERT_EQ(pictures.size(), 25u);
    for (const TPicture& picture : pictures) {
      ASSERT_EQ(picture.Width, c.Width);
      ASSERT_EQ(picture.Height, c.Height);
    }
    for (size_t i : c.Checked) {
      SCOPED_TRACE(i);
      for (const TColour& colour : c.Colours)
        ExpectColour(pictures[i], colour.Area, colour.Colour, colour.Name, colour.Tolerance);
      if (c.Pattern.w > 0) ExpectQuadrants(pictures[i], c.Pattern, "the picture");
    }
  }
}

// Two MPEG-TS clips of different frame sizes, one after the other in one
// file: one stream whose pictures change size at the join. With a size of
// its own the output keeps it; without, it takes the input's first size
// and keeps that.
TEST(VideoPathPicture, ASizeChangeMidStreamKeepsTheOutputSize) {
  TTempFolder folder;
  const std::string source = folder / "joined.ts";
  {
    std::ofstream joined(source, std::ios::binary);
    for (const std::string& part : {VideoClip("ts", 320, 240, 25, 1, 1.0), VideoClip("ts", 160, 120, 25, 1, 1.0)})
      joined << std::ifstream(part, std::ios::binary).rdbuf();
  }
  enum TKind { kScaled, kFirstSize, kCropped };
  struct TCase {
    TKind Kind;
    TOptionList Options;
    int Width, Height;
  };
  for (const TCase& c : {TCase{kScaled, {{"s", "256x192"}}, 256, 192}, TCase{kFirstSize, {}, 320, 240},
                         TCase{kCropped, {{"croptop", "40"}}, 320, 200}}) {
    SCOPED_TRACE(c.Kind);
    TOptionList options = c.Options;
    options.push_back({"qscale", "2"});
    ClearLogLines();
    const std::vector<TPicture> pictures = ConvertPictures(source, options);
    if (c.Kind == kScaled) {
      EXPECT_TRUE(Logged(llQuiet, "Input Stream #0.0 frame size changed to 160x120, yuv420p"));
      EXPECT_EQ(LinesContaining("frame size changed"), 1);
    }
    EXPECT_NEAR(static_cast<double>(pictures.size()), 50, 2);
    ASSERT_GT(pictures.size(), 40u);
    for (const TPicture& picture : pictures) {
      ASSERT_EQ(picture.Width, c.Width);
      ASSERT_EQ(picture.Height, c.Height);
    }
    for (size_t i : {size_t{10}, pictures.size() - 5}) {
      SCOPED_TRACE(i);
      if (c.Kind != kCropped) {
        ExpectQuadrants(pictures[i], {0, 0, c.Width, c.Height},
                        i == 10 ? "from the first part" : "from the second part");
        continue;
      }
      // The second part's pictures are cropped in proportion to the input's
      // size at set-up (40 of 240 rows become 20 of 120) and scaled to the
      // output size, so the split stays where it was (row 80 of 200).
      // Across the moving bar (a tenth of the width): a wider tolerance.
      ExpectColour(pictures[i], {8, 60, 142, 16}, testmedia::kTopLeft, "just above the split", 40);
      ExpectColour(pictures[i], {8, 86, 142, 16}, testmedia::kBottomLeft, "just below the split", 40);
      ExpectColour(pictures[i], {8, 8, 142, 30}, testmedia::kTopLeft, "top left");
      ExpectColour(pictures[i], {8, 160, 142, 30}, testmedia::kBottomLeft, "bottom left");
    }
  }
}

// A crop that no longer fits the picture skips the picture (or, with
// exit-on-error, ends the run).
TEST(VideoPathPicture, ACropLargerThanThePictureSkipsIt) {
  TVideoBench bench;
  ASSERT_TRUE(bench.Open("framecrc", 64, 48, k25Fps));
  ASSERT_TRUE(bench.PlanScaling(720, 576, 100, 0, 0, 0));
  bench.Engine().SetVideoSyncMethod(0);
  ClearLogLines();
  EXPECT_GT(bench.Feed(0, 720, 576), 0);
  EXPECT_EQ(bench.Feed(40000, 64, 48), 0);
  EXPECT_TRUE(Logged(llError, "error cropping picture"));
  bench.Engine().SetOption("xerror", "1");
  try {
    bench.Feed(80000, 64, 48);
    ADD_FAILURE() << "nothing raised";
  } catch (const FFmpegException& error) {
    EXPECT_STREQ(error.what(), "error cropping picture");
  }
  EXPECT_EQ(bench.Close().size(), 1u);
}

// The crop bands follow a size change in proportion, rounded down to even
// numbers, and the scaler is made again for the new size.
TEST(VideoPathPicture, CropBandsFollowASizeChangeInProportion) {
  TVideoBench bench;
  ASSERT_TRUE(bench.Open("framecrc", 360, 280, k25Fps));
  ASSERT_TRUE(bench.PlanScaling(720, 576, 16, 0, 16, 0));
  ClearLogLines();
  bench.Feed(0, 720, 576);
  EXPECT_EQ(LinesContaining("frame size changed"), 0);
  EXPECT_EQ(bench.Out->ResampleHeight, 560);

  bench.Feed(40000, 704, 480);
  EXPECT_TRUE(Logged(llQuiet, "Input Stream #0.0 frame size changed to 704x480, yuv420p"));
  EXPECT_EQ(bench.Out->TopBand, 12);   // 480 * 16 / 576 = 13, made even
  EXPECT_EQ(bench.Out->LeftBand, 14);  // 704 * 16 / 720 = 15, made even
  EXPECT_EQ(bench.Out->BottomBand, 0);
  EXPECT_EQ(bench.Out->RightBand, 0);
  EXPECT_EQ(bench.Out->ResampleHeight, 468);
  EXPECT_EQ(bench.Out->ResampleWidth, 690);
  EXPECT_EQ(bench.Out->ResamplePixFmt, AV_PIX_FMT_YUV420P);

  bench.Feed(80000, 704, 480);  // the same size again: nothing new
  EXPECT_EQ(LinesContaining("frame size changed"), 1);

  bench.Feed(120000, 704, 480, AV_PIX_FMT_YUV422P);  // a format change counts as well
  EXPECT_TRUE(Logged(llQuiet, "Input Stream #0.0 frame size changed to 704x480, yuv422p"));
  EXPECT_EQ(bench.Out->ResamplePixFmt, AV_PIX_FMT_YUV422P);

  bench.Feed(160000, 720, 576);
  EXPECT_EQ(bench.Out->TopBand, 16);
  EXPECT_EQ(bench.Out->LeftBand, 16);
  EXPECT_EQ(LinesContaining("frame size changed"), 3);

  const std::vector<TWrittenPacket> packets = bench.Close();
  ASSERT_EQ(packets.size(), 5u);
  for (const TWrittenPacket& packet : packets) EXPECT_EQ(packet.Size, 360 * 280 * 3 / 2);
}

// ---- Hooks ----

namespace {

std::string HookModule(const char* ABaseName) { return SystemPath(ModuleDir()) + ABaseName; }

// The recording hook module: the time stamps of the pictures it was given.
class TRecordingHook {
 public:
  TRecordingHook() : Path(HookModule("libvidmill_videopath_test_hook.so")) {
    FHandle = ::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);  // the copy the engine will load too
    if (!FHandle) return;
    FPts = static_cast<int64_t*>(::dlsym(FHandle, "RecordedPts"));
    FCount = static_cast<int*>(::dlsym(FHandle, "RecordedCount"));
    FWidth = static_cast<int*>(::dlsym(FHandle, "RecordedWidth"));
    FReleases = static_cast<int*>(::dlsym(FHandle, "ReleaseCount"));
    if (FCount) *FCount = 0;
  }
  ~TRecordingHook() {
    if (FHandle) ::dlclose(FHandle);
  }
  TRecordingHook(const TRecordingHook&) = delete;
  TRecordingHook& operator=(const TRecordingHook&) = delete;

  bool Loaded() const { return FPts && FCount && FWidth && FReleases; }
  std::vector<int64_t> Recorded() const { return std::vector<int64_t>(FPts, FPts + std::min(*FCount, 4096)); }
  int Width() const { return *FWidth; }
  int Releases() const { return *FReleases; }

  const std::string Path;

 private:
  void* FHandle = nullptr;
  int64_t* FPts = nullptr;
  int* FCount = nullptr;
  int* FWidth = nullptr;
  int* FReleases = nullptr;
};

// Microseconds of picture k at AFps pictures a second.
std::vector<int64_t> PictureTimes(int AFirst, int ALast, int AFps) {
  std::vector<int64_t> times;
  for (int k = AFirst; k <= ALast; ++k) times.push_back(static_cast<int64_t>(k) * 1000000 / AFps);
  return times;
}

}  // namespace

// 35 s at 5 pictures a second: pictures 0 to 174, picture k at k * 0.2 s.
TEST(VideoPathHooks, HookRangesHookExactlyTheirPicturesAndThenStop) {
  TRecordingHook hook;
  ASSERT_TRUE(hook.Loaded()) << ::dlerror();
  TTempFolder folder;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, VideoClip("avi", 64, 48, 5, 1, 35.0))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, folder / "ranges.avi")) << conversion.Error();
  ASSERT_TRUE(conversion.SetOptions({{"vhook", hook.Path}})) << conversion.Error();
  TInspectableEngine& engine = conversion.Engine();
  engine.SetHookRanges({{20000000, 30000000}, {0, 10000000}});
  conversion.RunInline();
  ExpectFinished(conversion);

  std::vector<int64_t> expected = PictureTimes(0, 50, 5);  // 0 s to 10 s, both ends included
  const std::vector<int64_t> second = PictureTimes(100, 150, 5);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(hook.Recorded(), expected);
  EXPECT_EQ(hook.Width(), 64);
  EXPECT_EQ(engine.FHookFrameNumber, 175);
  EXPECT_FALSE(engine.Settings().Run.FUsingVhook) << "past the last range the hook stage is off";
  EXPECT_EQ(engine.FHookAction, haStop);
  EXPECT_EQ(PicturesOf(folder / "ranges.avi").size(), 175u);
}

// The before-hook event decides instead of the ranges; an exception in it is
// logged and ends hooking.
TEST(VideoPathHooks, TheBeforeHookEventDecidesPerPicture) {
  TRecordingHook hook;
  ASSERT_TRUE(hook.Loaded()) << ::dlerror();
  TTempFolder folder;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, VideoClip("avi", 64, 48, 5, 1, 5.0))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, folder / "before.avi")) << conversion.Error();
  ASSERT_TRUE(conversion.SetOptions({{"vhook", hook.Path}})) << conversion.Error();
  TInspectableEngine& engine = conversion.Engine();
  engine.SetHookRanges({{0, 60000000}});
  std::vector<int64_t> asked;
  engine.FOnBeforeHook = [&](TCustomFFmpeg*, int64_t APTS, THookAction& AAction) {
    asked.push_back(APTS);
    if (APTS >= 3000000) throw std::runtime_error("enough");
    AAction = APTS >= 1000000 && APTS <= 2000000 ? haContinue : haIgnore;
  };
  ClearLogLines();
  conversion.RunInline();
  ExpectFinished(conversion);
  EXPECT_EQ(asked, PictureTimes(0, 15, 5)) << "not asked again once hooking stopped";
  EXPECT_EQ(hook.Recorded(), PictureTimes(5, 10, 5));
  EXPECT_TRUE(Logged(llError, "Error occurs OnBeforeHook: enough"));
  EXPECT_FALSE(engine.Settings().Run.FUsingVhook);
  EXPECT_EQ(PicturesOf(folder / "before.avi").size(), 25u);
}

namespace {

void Paint(TBitmap& ABitmap, uint8_t ABlue, uint8_t AGreen, uint8_t ARed) {
  for (int y = 0; y < ABitmap.Height; ++y) {
    uint8_t* row = ABitmap.ScanLine(y);
    for (int x = 0; x < ABitmap.Width; ++x) {
      row[3 * x] = ABlue;
      row[3 * x + 1] = AGreen;
      row[3 * x + 2] = ARed;
    }
  }
}

}  // namespace

// The custom hook sees every picture as a BGR bitmap (ranges do not apply
// to it) and what it paints goes into the output. A handler that raises is
// logged, its painting is not taken, and the next picture is hooked again;
// one that asks to stop is not called again (its picture is still painted).
TEST(VideoPathHooks, ACustomHookPaintsThePicturesSurvivesAnExceptionAndStopsWhenAsked) {
  TTempFolder folder;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Picture320())) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"qscale", "2"}}, folder / "painted.avi")) << conversion.Error();
  TInspectableEngine& engine = conversion.Engine();
  engine.SetHookRanges({{0, 100000}});
  std::vector<int> numbers;
  std::vector<int64_t> times;
  bool sawPattern = false;
  engine.FOnCustomHook = [&](TCustomFFmpeg*, TBitmap& ABitmap, int AFrameNumber, int64_t APTS, bool& AUpdate,
                             bool& AStopHook) {
    EXPECT_TRUE(AUpdate);
    EXPECT_FALSE(AStopHook);
    numbers.push_back(AFrameNumber);
    times.push_back(APTS);
    if (AFrameNumber == 1) {
      // The bitmap is the decoded picture: red at the top left, in BGR order.
      const uint8_t* pixel = ABitmap.ScanLine(30) + 3 * 40;
      sawPattern = ABitmap.Width == 320 && ABitmap.Height == 240 && pixel[2] > 200 && pixel[1] < 60 && pixel[0] < 60;
    }
    Paint(ABitmap, 255, 0, 0);  // blue everywhere
    if (AFrameNumber == 6) throw std::runtime_error("paint spilled");
    AStopHook = AFrameNumber == 20;
  };
  ClearLogLines();
  conversion.RunInline();
  ExpectFinished(conversion);
  EXPECT_TRUE(sawPattern);
  std::vector<int> hooked(20);
  for (int i = 0; i < 20; ++i) hooked[i] = i + 1;
  EXPECT_EQ(numbers, hooked);
  EXPECT_EQ(times, PictureTimes(0, 19, 25));
  EXPECT_TRUE(Logged(llError, "Error occurs OnCustomHook: paint spilled"));
  EXPECT_FALSE(engine.FOnCustomHook);
  EXPECT_EQ(engine.FHookAction, haStop);

  const std::vector<TPicture> pictures = PicturesOf(folder / "painted.avi");
  ASSERT_EQ(pictures.size(), 25u);
  for (size_t i = 0; i < pictures.size(); ++i) {
    SCOPED_TRACE(i);
    if (i == 5 || i >= 20)
      ExpectQuadrants(pictures[i], {0, 0, 320, 240}, "a picture not painted");
    else
      ExpectColour(pictures[i], {0, 0, 320, 240}, testmedia::Rgb{0, 0, 255}, "painted");
  }
}

// The sample module inverts the luma of a band of rows at the top. Given
// twice (8 rows, then 16) it is loaded once and chained twice: rows 0 to 7
// are inverted twice (as they were), rows 8 to 15 once.
TEST(VideoPathHooks, AChainOfHookModulesChangesTheOutputPicture) {
  const std::string module = HookModule("libvidmill_options_test_hook.so");
  TTempFolder folder;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Picture320())) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({{"qscale", "2"}}, folder / "hooked.avi")) << conversion.Error();
  void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto* configured = static_cast<int*>(::dlsym(handle, "ConfigureCount"));
  ASSERT_NE(configured, nullptr);
  const int before = *configured;
  ASSERT_TRUE(conversion.SetOptions({{"vhook", module + " 8"}, {"vhook", module + " 16"}})) << conversion.Error();
  EXPECT_EQ(*configured, before + 2) << "one loaded copy configured both entries";
  ::dlclose(handle);
  ASSERT_EQ(conversion.Engine().FHookState->Chain.size(), 2u);
  conversion.RunInline();
  ExpectFinished(conversion);

  const std::vector<TPicture> pictures = PicturesOf(folder / "hooked.avi");
  ASSERT_EQ(pictures.size(), 25u);
  for (size_t i : {size_t{0}, size_t{12}, size_t{24}}) {
    SCOPED_TRACE(i);
    const TPicture& picture = pictures[i];
    for (int left : {8, 168}) {  // the red and the green quadrant
      SCOPED_TRACE(left);
      const double plain = LumaOf(picture, {left, 24, 144, 24});
      EXPECT_NEAR(LumaOf(picture, {left, 2, 144, 4}), plain, 8) << "inverted twice";
      EXPECT_NEAR(LumaOf(picture, {left, 10, 144, 4}), 255 - plain, 8) << "inverted once";
    }
  }
}

TEST(VideoPathHooks, AddFrameHookRefusesModulesItCannotUse) {
  TFrameHookChain chain;
  ClearLogLines();
  std::string noProcess = HookModule("libvidmill_options_test_hook_noprocess.so");
  char* noProcessArgs[] = {noProcess.data(), nullptr};
  EXPECT_EQ(AddFrameHook(chain, 1, noProcessArgs), -2);
  EXPECT_TRUE(Logged(llError, "Failed to find Process entrypoint in " + noProcess + "\n"));

  // A module without Configure takes no arguments.
  std::string recording = HookModule("libvidmill_videopath_test_hook.so");
  std::string argument = "1";
  char* withArgument[] = {recording.data(), argument.data(), nullptr};
  EXPECT_EQ(AddFrameHook(chain, 2, withArgument), -2);
  EXPECT_TRUE(Logged(llError, "Failed to find Configure entrypoint in " + recording + "\n"));
  char* alone[] = {recording.data(), nullptr};
  EXPECT_EQ(AddFrameHook(chain, 1, alone), 0);
  EXPECT_EQ(chain.size(), 1u);

  std::string sample = HookModule("libvidmill_options_test_hook.so");
  std::string zero = "0";
  char* refused[] = {sample.data(), zero.data(), nullptr};
  EXPECT_EQ(AddFrameHook(chain, 2, refused), -22);
  EXPECT_TRUE(Logged(llError, "Failed to Configure " + sample + "\n"));

  std::string missing = HookModule("libvidmill_no_such_module.so");
  char* missingArgs[] = {missing.data(), nullptr};
  EXPECT_EQ(AddFrameHook(chain, 1, missingArgs), -1);
  EXPECT_EQ(chain.size(), 1u);

  TRecordingHook hook;
  ASSERT_TRUE(hook.Loaded());
  const int releases = hook.Releases();
  ReleaseFrameHooks(chain);
  EXPECT_TRUE(chain.empty());
  EXPECT_EQ(hook.Releases(), releases + 1);
}

// ---- Previews ----

namespace {

// Puts a previewer factory in place for one scope.
class TPreviewerFactoryScope {
 public:
  explicit TPreviewerFactoryScope(TPreviewerFactory AFactory) { SetPreviewerFactory(std::move(AFactory)); }
  ~TPreviewerFactoryScope() { SetPreviewerFactory(nullptr); }
};

struct TPreviewerLog {
  std::atomic<int> Created{0};
  std::atomic<int> Destroyed{0};
  std::mutex Lock;
  std::vector<int> Frames;
  std::vector<int64_t> Times;
  std::vector<std::pair<int, int>> Sizes;
  int ShowsBeforeClosing = 1000000;
};

// A preview window the user closes after a number of pictures.
class TFakePreviewer : public TPreviewer {
 public:
  explicit TFakePreviewer(TPreviewerLog& ALog) : FLog(ALog) { ++FLog.Created; }
  ~TFakePreviewer() override { ++FLog.Destroyed; }
  bool ShowFrame(TBitmap& ABitmap, int AFrameNumber, int64_t APTS) override {
    std::lock_guard<std::mutex> guard(FLog.Lock);
    FLog.Frames.push_back(AFrameNumber);
    FLog.Times.push_back(APTS);
    FLog.Sizes.push_back({ABitmap.Width, ABitmap.Height});
    return static_cast<int>(FLog.Frames.size()) < FLog.ShowsBeforeClosing;
  }

 private:
  TPreviewerLog& FLog;
};

}  // namespace

// With the preview-bitmap event (bit value 2) the previews come at most once
// per preview interval (100 ms) of wall time. With the window bit set as
// well, the event wins: no window is made.
TEST(VideoPathPreviews, PreviewBitmapsComeAtMostTenTimesASecond) {
  TPreviewerLog windows;
  TPreviewerFactoryScope factory([&windows] { return std::make_unique<TFakePreviewer>(windows); });
  TTempFolder folder;
  TConversion conversion;
  // Read at its own rate: 50 pictures over 2 s.
  ASSERT_TRUE(conversion.AddInput({{"re", "1"}}, VideoClip("avi", 320, 240, 25, 1, 2.0))) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, folder / "previewed.avi")) << conversion.Error();
  TInspectableEngine& engine = conversion.Engine();
  EXPECT_EQ(engine.FPreviewInterval, 100000);
  std::mutex lock;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  std::vector<int> numbers;
  bool redTopLeft = true;
  engine.FOnPreviewBitmap = [&](TCustomFFmpeg*, TBitmap& ABitmap, int AFrameNumber, int64_t) {
    const auto now = std::chrono::steady_clock::now();
    const uint8_t* pixel = ABitmap.ScanLine(30) + 3 * 40;  // BGR
    std::lock_guard<std::mutex> guard(lock);
    arrivals.push_back(now);
    numbers.push_back(AFrameNumber);
    if (ABitmap.Width != 320 || ABitmap.Height != 240 || pixel[2] < 200 || pixel[1] > 60 || pixel[0] > 60)
      redTopLeft = false;
  };
  engine.SetPreviewFlags(3);
  ASSERT_TRUE(conversion.StartThreaded());
  ASSERT_TRUE(conversion.WaitForEnd(std::chrono::seconds(20)));
  const auto ended = std::chrono::steady_clock::now();
  ExpectFinished(conversion);

  std::lock_guard<std::mutex> guard(lock);
  const double wall = std::chrono::duration<double>(ended - conversion.StartedAt()).count();
  EXPECT_GE(wall, 1.8) << "read at the input's own rate";
  EXPECT_LE(static_cast<double>(arrivals.size()), wall * 10 + 1);
  EXPECT_GE(arrivals.size(), 8u) << "a preview every three pictures or so";
  for (size_t i = 1; i < arrivals.size(); ++i)
    EXPECT_GE(std::chrono::duration<double>(arrivals[i] - arrivals[i - 1]).count(), 0.099) << "preview " << i;
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  EXPECT_TRUE(redTopLeft) << "the previews show the encoded picture";
  EXPECT_EQ(windows.Created.load(), 0);
  EXPECT_EQ(engine.PreviewFlags(), 3);
}

// The preview window (bit value 1) shows pictures until the user closes
// it: its answer false switches the window off for the rest of the run,
// which goes on to the end.
TEST(VideoPathPreviews, ClosingThePreviewWindowStopsPreviewsButNotTheConversion) {
  TPreviewerLog windows;
  windows.ShowsBeforeClosing = 3;
  TPreviewerFactoryScope factory([&windows] { return std::make_unique<TFakePreviewer>(windows); });
  TTempFolder folder;
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Picture320())) << conversion.Error();
  ASSERT_TRUE(conversion.AddOutput({}, folder / "window.avi")) << conversion.Error();
  TInspectableEngine& engine = conversion.Engine();
  engine.FPreviewInterval = -1;  // every picture
  engine.SetPreviewFlags(1);
  conversion.RunInline();
  ExpectFinished(conversion);
  EXPECT_EQ(windows.Created.load(), 1);
  EXPECT_EQ(windows.Destroyed.load(), 1) << "the window goes with its flag";
  EXPECT_EQ(windows.Frames, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(windows.Times, (std::vector<int64_t>{0, 40000, 80000}));
  EXPECT_EQ(windows.Sizes[0], (std::pair<int, int>{320, 240}));
  EXPECT_EQ(engine.PreviewFlags(), 0);
  EXPECT_EQ(PicturesOf(folder / "window.avi").size(), 25u);
}

// ---- Video statistics ----

TEST(VideoPathStats, TheStatisticsFileHasALinePerEncodedPicture) {
  TTempFolder folder;
  const std::string stats = folder / "vstats.log";
  {
    TConversion conversion;
    ASSERT_TRUE(conversion.AddInput({}, Picture320())) << conversion.Error();
    ASSERT_TRUE(conversion.AddOutput({{"qscale", "3"}}, folder / "stats.avi")) << conversion.Error();
    ASSERT_TRUE(conversion.SetOptions({{"vstats_file", stats}})) << conversion.Error();
    conversion.RunInline();
    ExpectFinished(conversion);
  }  // the file is closed with the engine instance's clean-up
  std::ifstream file(stats);
  ASSERT_TRUE(file.is_open());
  const std::regex pattern(
      R"(frame= +(\d+) q= (\d+\.\d) f_size= +(\d+) s_size= +\d+kB time= (\d+\.\d{3}) br= +\d+\.\dkbits/s )"
      R"(avg_br= +\d+\.\dkbits/s type= ([IPB]))");
  std::string line;
  int count = 0;
  while (std::getline(file, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    ++count;
    EXPECT_EQ(std::stoi(match[1]), count);
    EXPECT_NEAR(std::stod(match[2]), 3.0, 0.05) << line;
    EXPECT_GT(std::stoi(match[3]), 0);
    EXPECT_NEAR(std::stod(match[4]), std::max(0.01, count * 0.04), 0.0011) << line;
    if (count == 1) {
      EXPECT_EQ(match[5], "I");
    }
  }
  EXPECT_EQ(count, 25);
}
