#include "tests/engine/EngineBench.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/config/RunState.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwResample.h"
#include "runtime/lib/SwScale.h"

namespace enginebench {

int64_t TotalDuration(const std::vector<TWrittenPacket>& APackets) {
  int64_t total = 0;
  for (const TWrittenPacket& packet : APackets) total += packet.Duration;
  return total;
}

std::vector<int64_t> PtsOf(const std::vector<TWrittenPacket>& APackets) {
  std::vector<int64_t> pts;
  for (const TWrittenPacket& packet : APackets) pts.push_back(packet.Pts);
  return pts;
}

TStreamBench::TStreamBench() {
  FEngine.FBuffers = std::make_unique<TPipelineBuffers>();
  FRun.InputStreams.push_back(std::make_unique<TInputStreamState>());
  FRun.OutputStreams.push_back(std::make_unique<TOutputStreamState>());
  In = FRun.InputStreams[0].get();
  Out = FRun.OutputStreams[0].get();
  In->DecodingNeeded = 1;
  In->Discard = 0;
  Out->EncodingNeeded = 1;
  Out->SyncInput = In;
  FFrame = lib::av_frame_alloc();
}

TStreamBench::~TStreamBench() {
  FEngine.FOutputFiles[0] = nullptr;
  if (FOutput) FOutput->Context = nullptr;
  if (FMuxer) {
    if (FMuxer->pb && !(FMuxer->oformat->flags & AVFMT_NOFILE)) lib::avio_closep(&FMuxer->pb);
    lib::avformat_free_context(FMuxer);
  }
  // The stream records free their FIFO, resamplers, scaler and pictures themselves.
  lib::avcodec_free_context(&FEncoder);
  lib::av_frame_free(&FFrame);
}

bool TStreamBench::OpenOutput(const char* AMuxer) {
  FPath = FFolder / (std::strcmp(AMuxer, "framecrc") == 0 ? std::string("out.crc") : std::string("out.") + AMuxer);
  if (lib::avformat_alloc_output_context2(&FMuxer, nullptr, AMuxer, FPath.c_str()) < 0 || !FMuxer) return false;
  AVStream* stream = lib::avformat_new_stream(FMuxer, nullptr);
  if (!stream) return false;
  lib::avcodec_parameters_from_context(stream->codecpar, FEncoder);
  stream->time_base = FEncoder->time_base;
  if (!(FMuxer->oformat->flags & AVFMT_NOFILE) && lib::avio_open(&FMuxer->pb, FPath.c_str(), AVIO_FLAG_WRITE) < 0)
    return false;
  if (lib::avformat_write_header(FMuxer, nullptr) < 0) return false;
  Out->Stream = stream;
  Out->Index = 0;
  Out->FileIndex = 0;
  FOutput = std::make_unique<TOutputFile>(FMuxer);
  FEngine.FOutputFiles[0] = FOutput.get();
  return true;
}

std::vector<TWrittenPacket> TStreamBench::Close() {
  std::vector<TWrittenPacket> packets;
  EXPECT_EQ(lib::av_write_trailer(FMuxer), 0);
  if (FMuxer->pb) lib::avio_closep(&FMuxer->pb);
  if (std::strcmp(FMuxer->oformat->name, "framecrc") != 0) return packets;
  std::ifstream file(FPath);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string stream, dts, pts, duration, size;
    std::getline(fields, stream, ',');
    std::getline(fields, dts, ',');
    std::getline(fields, pts, ',');
    std::getline(fields, duration, ',');
    std::getline(fields, size, ',');
    packets.push_back({std::stoll(dts), std::stoll(pts), std::stoll(duration), std::stoi(size)});
  }
  return packets;
}

}  // namespace enginebench
