#pragma once
// The run tables of one transcode: a record per input file, per input
// stream and per output stream, alive from the set-up until the tables are
// released at the end of the run (or when it fails). A stream record frees
// what it owns when it goes (Setup.cpp): an input stream its decoder context
// and filtered picture, an output stream its pictures, scaler, resamplers,
// FIFO and pass-1 log file; ReleaseTranscodeTables has CloseOpenedCodecs
// close the open codecs first. The encoder contexts and bitstream filters
// belong to the output's TOutputFile and are only borrowed here.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/pipeline/PictureCorrections.h"

extern "C" {
#include <libavutil/avutil.h>
}

struct AVAudioFifo;
struct AVCodec;
struct AVCodecContext;
struct AVFilterContext;
struct AVFrame;
struct AVStream;
struct SwrContext;
struct SwsContext;
class TAmrNbEncoder;
class TBitstreamFilterChain;

struct TInputFileState {
  int AtEnd = 0;             // the input reported end of file or a read error
  int FirstStreamIndex = 0;  // index of its stream 0 in the input stream table
  int StreamCount = 0;       // its stream count at set-up time
};

struct TInputStreamState {
  TInputStreamState() = default;
  ~TInputStreamState();
  TInputStreamState(const TInputStreamState&) = delete;
  TInputStreamState& operator=(const TInputStreamState&) = delete;

  int FileIndex = 0;
  int Index = 0;  // stream index inside its file
  AVStream* Stream = nullptr;
  AVCodecContext* Decoder = nullptr;  // the engine's own decoder context (owned)
  int Discard = 1;                    // 0 once an output stream is fed from it
  int DecodingNeeded = 0;
  int64_t StartTime = 0;             // wall clock at set-up, for read-rate emulation
  int64_t NextPts = AV_NOPTS_VALUE;  // microseconds
  int64_t Pts = 0;                   // microseconds
  int IsStart = 1;                   // cleared by the first audio drift correction
  int Flushed = 0;                   // join mode: drained at the end of its input
  // Microseconds added to this stream's times on top of its file's offset:
  // the lining up of a stream that starts apart from the others, and the
  // closing of the jumps of its clock.
  int64_t TsShift = 0;
  // The first decoded frame has set the clock: a decoder that drops the
  // priming of the sound at its start gives its first samples a later
  // time than the packet they came in.
  bool ClockFromFrame = false;
  const AVCodec* ForcedDecoder = nullptr;   // the decoder named for it before the input opened
  float Quality = 0;                        // quality of the last decoded picture
  AVFilterContext* OutputFilter = nullptr;  // the filter graph's sink
  AVFilterContext* InputFilter = nullptr;   // the filter graph's source
  AVFrame* FilterPicture = nullptr;         // the last filtered picture (owned)
  // What this stream's pictures need before the outputs take them (set up
  // with the run), whether pictures marked interlaced may be deinterlaced
  // although the stream did not say it is interlaced, and the corrections
  // made for its first picture (none when nothing is needed).
  TCorrectionPlan CorrectionPlan;
  bool CorrectionsPlanned = false;
  bool DeinterlaceAllowed = false;
  bool CorrectionsDecided = false;
  std::unique_ptr<TPictureCorrections> Corrections;
};

struct TOutputStreamState {
  TOutputStreamState() = default;
  ~TOutputStreamState();
  // The picture of the encoder's size and format that the scaler and the
  // pads write into; raises when it cannot be allocated.
  void AllocScaledPicture();
  TOutputStreamState(const TOutputStreamState&) = delete;
  TOutputStreamState& operator=(const TOutputStreamState&) = delete;

  int FileIndex = 0;
  int Index = 0;        // stream index inside its output
  int SourceIndex = 0;  // index in the input stream table
  AVStream* Stream = nullptr;
  AVCodecContext* Encoder = nullptr;  // the output stream's codec context (its TOutputFile's)
  TAmrNbEncoder* AmrNb = nullptr;     // the engine's own AMR-NB encoder, when it encodes this stream
  TBitstreamFilterChain* BitstreamFilters = nullptr;
  int EncodingNeeded = 0;
  int FrameNumber = 0;
  TInputStreamState* SyncInput = nullptr;
  int64_t OutputTicks = 0;     // video frames or audio samples, in the encoder's time base
  bool AudioClockSet = false;  // audio without drift handling: OutputTicks has taken the input's start

  // Video.
  int VideoResample = 0;
  AVFrame* ScaledPicture = nullptr;  // owned
  SwsContext* ScalerContext = nullptr;
  int ResampleHeight = 0, ResampleWidth = 0, ResamplePixFmt = -1;
  int InitialHeight = 0, InitialWidth = 0;
  int VideoCrop = 0;
  int TopBand = 0, BottomBand = 0, LeftBand = 0, RightBand = 0;
  int ConfiguredTopBand = 0, ConfiguredBottomBand = 0, ConfiguredLeftBand = 0, ConfiguredRightBand = 0;
  int VideoPad = 0;
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;

  // Audio.
  int AudioResample = 0;
  SwrContext* Resample = nullptr;         // owned
  int FormatPairKey = -6;                 // encoder format + 5 * decoder format of the converter held; -6 none
  SwrContext* SampleConverter = nullptr;  // owned
  AVAudioFifo* Fifo = nullptr;            // owned

  FILE* LogFile = nullptr;  // pass-1 statistics (owned)

  // The end of what was written so far, in the stream's time base (the
  // muxer's running timestamp of the stream); AV_NOPTS_VALUE before the
  // first packet.
  int64_t WrittenEnd = AV_NOPTS_VALUE;
  // Bitstream filters initialised for this stream (set-up), in chain order.
  bool FiltersReady = false;
  // Quality of the last encoded video frame (quantiser * 118), -1 before.
  float LastQuality = -1;
  // Accumulated picture errors of the encoder (PSNR), per plane.
  uint64_t Error[3] = {0, 0, 0};
  uint64_t LastError[3] = {0, 0, 0};
  char LastPictType = 0;  // picture type letter of the last encoded video frame
  bool Flushed = false;   // the encoder was drained
};

// The tables of one run and the loop's own state.
struct TTranscodeRun {
  std::vector<TInputFileState> InputFiles;
  std::vector<std::unique_ptr<TInputStreamState>> InputStreams;
  std::vector<std::unique_ptr<TOutputStreamState>> OutputStreams;
  int JoinStride = 0;       // stream count of output 0
  int OutputFileCount = 0;  // output slots (join mode: one per input)
  int64_t LastReport = 0;   // wall clock of the last progress report
  bool Reported = false;    // a progress report was raised in this run
  // How long each output slot is expected to become (microseconds, from its
  // sources' lined-up lengths); -1 when that cannot be told.
  std::vector<int64_t> ExpectedLength;
  // The longest a delay at the start of output slot ASlot is kept (a late
  // picture or sound): its expected length, at least AThreshold seconds.
  double LongestLeadIn(int ASlot, double AThreshold) const {
    if (ASlot < 0 || ASlot >= static_cast<int>(ExpectedLength.size())) return AThreshold;
    const double expected = static_cast<double>(ExpectedLength[static_cast<size_t>(ASlot)]) / AV_TIME_BASE;
    return expected > AThreshold ? expected : AThreshold;
  }
};
