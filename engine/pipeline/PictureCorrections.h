#pragma once
// What a source's pictures need before any output takes them: deinterlaced
// (coded as interlaced fields, for progressive outputs), tone-mapped from
// high dynamic range (PQ or HLG, as phones record) to BT.709 for 8-bit
// outputs, and turned upright (a display rotation). One small filter graph
// per input stream does all three, made for its first picture. Pictures go
// in and come out in order; the deinterlacer holds one back until the next
// one (or the end) comes.

#include <string>

#include "probe/PictureTurn.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct AVStream;

struct TCorrectionPlan {
  enum TDeinterlace { diNone, diMarked, diEvery };
  TDeinterlace Deinterlace = diNone;  // diMarked: only the pictures marked interlaced
  bool ToneMap = false;
  TPictureTurn Turn;

  bool Any() const { return Deinterlace != diNone || ToneMap || !Turn.None(); }
  // The filter chain text.
  std::string Filters() const;
  // What is done, for the log: "deinterlaced, tone-mapped to BT.709, turned 90".
  std::string Text() const;
};

// Whether a stream's pictures are high dynamic range (PQ or HLG transfer).
bool HighDynamicRange(const AVStream* AStream);
// Whether its codec parameters say it is coded as interlaced fields.
bool CodedInterlaced(const AVStream* AStream);

class TPictureCorrections {
 public:
  // AThreads: the threads its filters may take (the task's budget).
  TPictureCorrections(const TCorrectionPlan& APlan, int AThreads) : FPlan(APlan), FThreads(AThreads) {}
  ~TPictureCorrections();
  TPictureCorrections(const TPictureCorrections&) = delete;
  TPictureCorrections& operator=(const TPictureCorrections&) = delete;

  const TCorrectionPlan& Plan() const { return FPlan; }
  // Makes the graph for pictures like AFirst (their times in ATimeBase);
  // false, with the library's reason in AError, when it cannot be made.
  bool Open(const AVFrame* AFirst, AVRational ATimeBase, std::string& AError);
  bool Opened() const { return FGraph != nullptr; }
  // A picture in (nullptr: the end, the held-back picture comes out); < 0 on
  // failure.
  int Send(AVFrame* APicture);
  // The next corrected picture into AOut: 0, AVERROR(EAGAIN) when none is
  // ready, AVERROR_EOF after the end.
  int Receive(AVFrame* AOut);
  // The time base of the pictures that come out (the deinterlacer halves
  // the input's).
  AVRational TimeBase() const;

 private:
  TCorrectionPlan FPlan;
  int FThreads = 1;
  AVFilterGraph* FGraph = nullptr;
  AVFilterContext* FSource = nullptr;
  AVFilterContext* FSink = nullptr;
};
