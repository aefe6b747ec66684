#pragma once
// The encoding step on its own: one input stream feeding one encoding
// output stream of an engine instance, with an output file of one stream
// described by the encoder. The tests call the engine's encoding step
// directly with a chosen input clock, so that a rule's exact threshold can
// be put to it. The "framecrc" muxer writes one line per packet (times,
// duration, size), so the packets themselves can be checked.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/config/FFmpeg.h"
#include "engine/pipeline/RunTables.h"
#include "tests/engine/InspectableEngine.h"
#include "tests/engine/TranscodeTestSupport.h"

namespace enginebench {

// One line of the "framecrc" muxer: a written packet.
struct TWrittenPacket {
  int64_t Dts = 0;
  int64_t Pts = 0;
  int64_t Duration = 0;
  int Size = 0;
};

int64_t TotalDuration(const std::vector<TWrittenPacket>& APackets);
std::vector<int64_t> PtsOf(const std::vector<TWrittenPacket>& APackets);

class TStreamBench {
 public:
  TStreamBench();
  virtual ~TStreamBench();
  TStreamBench(const TStreamBench&) = delete;
  TStreamBench& operator=(const TStreamBench&) = delete;

  TInspectableEngine& Engine() { return FEngine; }
  // The output: AMuxer into the bench's folder ("out.crc" for "framecrc",
  // else "out.<muxer>"), its one stream described by the encoder.
  bool OpenOutput(const char* AMuxer);
  AVFormatContext* Muxer() const { return FMuxer; }
  const std::string& Path() const { return FPath; }
  // Writes the trailer and closes the file; for "framecrc" the packets.
  std::vector<TWrittenPacket> Close();

  TInputStreamState* In = nullptr;
  TOutputStreamState* Out = nullptr;

 protected:
  TInspectableEngine FEngine;
  TTranscodeRun FRun;
  AVCodecContext* FEncoder = nullptr;
  AVFrame* FFrame = nullptr;

 private:
  TTempFolder FFolder;
  AVFormatContext* FMuxer = nullptr;
  // The engine's record of the output, lent FMuxer (freed here, not by it).
  std::unique_ptr<TOutputFile> FOutput;
  std::string FPath;
};

}  // namespace enginebench
