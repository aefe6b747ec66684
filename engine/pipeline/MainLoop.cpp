// The main loop of a transcode: choose the input to read, read a packet,
// correct its timestamps, decode and dispatch it, report progress; then
// drain, write the trailers and close the codecs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/config/AmrNbEncoder.h"
#include "engine/config/FFmpeg.h"
#include "engine/config/RunState.h"
#include "engine/pipeline/RunTables.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/lib/AVFormat.h"

void TCustomFFmpeg::Transcode() {
  TTranscodeRun run;
  try {
    TranscodeSetup(run);
    TranscodeLoop(run);
  } catch (...) {
    ReleaseTranscodeTables(run);
    throw;
  }
  ReleaseTranscodeTables(run);
}

double TCustomFFmpeg::InputSyncTime(const TOutputStreamState& AOutput) const {
  return static_cast<double>(AOutput.SyncInput->Pts - FSettings.Mux.FStartTime) / AV_TIME_BASE;
}

double TCustomFFmpeg::OutputPosition(const TOutputStreamState& AOutput) const {
  if (AOutput.EncodingNeeded && AOutput.Encoder && AOutput.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
    return static_cast<double>(AOutput.OutputTicks) * av_q2d(AOutput.Encoder->time_base);
  double written = 0.0;
  if (AOutput.WrittenEnd != AV_NOPTS_VALUE)
    written = static_cast<double>(AOutput.WrittenEnd) * av_q2d(AOutput.Stream->time_base);
  // Encoded sound is as far as the samples handed to its encoder and its
  // FIFO: the encoder's delay must not keep the run reading past the end.
  if (AOutput.EncodingNeeded && AOutput.Encoder && AOutput.Encoder->codec_type == AVMEDIA_TYPE_AUDIO &&
      AOutput.Encoder->sample_rate > 0) {
    const int64_t queued = AOutput.Fifo ? lib::av_audio_fifo_size(AOutput.Fifo) : 0;
    written = std::max(written, static_cast<double>(AOutput.OutputTicks + queued) / AOutput.Encoder->sample_rate);
  }
  return written;
}

namespace {

bool AnyPacketWritten(const TTranscodeRun& ARun) {
  for (const auto& ost : ARun.OutputStreams)
    if (ost->WrittenEnd != AV_NOPTS_VALUE) return true;
  return false;
}

// FMaxFrames index of a media type (video, audio, data, subtitle).
int MaxFramesIndex(AVMediaType AType) {
  switch (AType) {
    case AVMEDIA_TYPE_VIDEO:
      return 0;
    case AVMEDIA_TYPE_AUDIO:
      return 1;
    case AVMEDIA_TYPE_SUBTITLE:
      return 3;
    default:
      return 2;
  }
}

// The frame limit of AOutput's media type is reached.
bool MaxFramesReached(const TEngineSettings& ASettings, const TOutputStreamState& AOutput) {
  return AOutput.FrameNumber >= ASettings.Video.FMaxFrames[MaxFramesIndex(AOutput.Stream->codecpar->codec_type)];
}

bool IsPictureOrSound(const AVStream* AStream) {
  const AVMediaType type = AStream->codecpar->codec_type;
  return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO;
}

// The slots whose output streams count for slot ASlot: itself, or in join
// mode every slot (they all write the one file).
bool SameOutputFile(bool AJoin, int ASlot, int AOther) { return AJoin || ASlot == AOther; }

}  // namespace

void TCustomFFmpeg::CloseTimestampJump(AVFormatContext* AInput, TInputStreamState& AStream, AVPacket* APacket) {
  if (FSettings.Run.FCopyTs || APacket->dts == AV_NOPTS_VALUE || AStream.NextPts == AV_NOPTS_VALUE ||
      !IsPictureOrSound(AStream.Stream))
    return;
  // A clock that jumps by more than the threshold (a capture whose clock was
  // reset, a transport stream spliced from two) is closed in every format; a
  // small step back only in formats whose timestamps are known to jump.
  const AVRational timeBase = AStream.Stream->time_base;
  const int64_t t = lib::av_rescale_q(APacket->dts, timeBase, AV_TIME_BASE_Q);
  const int64_t delta = t - AStream.NextPts;
  const bool discontinuous = AInput->iformat->flags & AVFMT_TS_DISCONT;
  if (std::llabs(delta) <= static_cast<int64_t>(FSettings.Run.FDtsDeltaThreshold * 1000000.0) &&
      !(discontinuous && t + 1 < AStream.Pts))
    return;
  AStream.TsShift -= delta;
  if (FSettings.Run.FVerbose >= 3) {
    const long long offset = FInputFiles[AStream.FileIndex]->TsOffset + AStream.TsShift;
    FFLoggerInstance()->Log(
        this, llVerbose,
        Format("timestamp discontinuity %lld, new offset= %lld", static_cast<long long>(delta), offset));
  }
  const int64_t shift = lib::av_rescale_q(delta, AV_TIME_BASE_Q, timeBase);
  APacket->dts -= shift;
  if (APacket->pts != AV_NOPTS_VALUE) APacket->pts -= shift;
}

void TCustomFFmpeg::CheckOutputLengths(TTranscodeRun& ARun) {
  for (int i = 0; i < FOutputFileCount && i < static_cast<int>(ARun.ExpectedLength.size()); ++i) {
    if (FJoin && i > 0) break;
    const int64_t expected = ARun.ExpectedLength[static_cast<size_t>(i)];
    if (expected <= 0) continue;
    const double limit = static_cast<double>(expected + std::max(kOutputOverrun, expected / 10)) / AV_TIME_BASE;
    double written = 0;
    for (auto& ost : ARun.OutputStreams)
      if (SameOutputFile(FJoin, i, ost->FileIndex)) written = std::max(written, OutputPosition(*ost));
    if (written > limit)
      throw FFmpegException(Format("'%s' grew past the length of its source (%s); the conversion was stopped",
                                   ToLocal8Bit(FOutputFiles[i]->Name).c_str(), DurationText(expected).c_str()));
  }
}

void TCustomFFmpeg::CheckSomethingWritten(TTranscodeRun& ARun) {
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (FJoin && i > 0) break;
    bool media = false, written = false;
    for (auto& ost : ARun.OutputStreams) {
      if (!SameOutputFile(FJoin, i, ost->FileIndex) || !IsPictureOrSound(ost->Stream)) continue;
      media = true;
      if (ost->WrittenEnd != AV_NOPTS_VALUE) written = true;
    }
    if (!media || written) continue;
    if (FStopRequested) {
      FOutputsEmpty = true;  // stopped before the first packet: nothing worth keeping
      continue;
    }
    throw FFmpegException(Format("Nothing was encoded for '%s'", ToLocal8Bit(FOutputFiles[i]->Name).c_str()));
  }
}

int TCustomFFmpeg::JoinedInputToRead(const TTranscodeRun& ARun, int AInput, double& APosition) const {
  const int outputCount = static_cast<int>(ARun.OutputStreams.size());
  int chosen = AInput;
  const int first = AInput * ARun.JoinStride;
  for (int k = first; k < first + ARun.JoinStride && k < outputCount; ++k) {
    const TOutputStreamState& ost = *ARun.OutputStreams[k];
    APosition = std::min(APosition, OutputPosition(ost));
    if (MaxFramesReached(FSettings, ost)) chosen = -1;
  }
  return chosen;
}

int TCustomFFmpeg::InputFurthestBehind(const TTranscodeRun& ARun, const bool ANoPacket[MAX_FILES],
                                       double& APosition) const {
  const int outputCount = static_cast<int>(ARun.OutputStreams.size());
  double smallestTime = 1e100;
  int chosen = -1;
  for (int k = 0; k < outputCount; ++k) {
    const TOutputStreamState& ost = *ARun.OutputStreams[k];
    const TInputStreamState& ist = *ARun.InputStreams[ost.SourceIndex];
    if (ANoPacket[ist.FileIndex]) continue;
    if (!ARun.InputFiles[ist.FileIndex].AtEnd) {
      const double position = OutputPosition(ost);
      if (static_cast<double>(ist.Pts) < smallestTime) {
        smallestTime = static_cast<double>(ist.Pts);
        if (FSettings.Run.FInputSync) chosen = ist.FileIndex;
      }
      if (position < APosition) {
        APosition = position;
        if (!FSettings.Run.FInputSync) chosen = ist.FileIndex;
      }
    }
    if (MaxFramesReached(FSettings, ost)) return -1;
  }
  return chosen;
}

bool TCustomFFmpeg::OutputLimitReached(double APosition) const {
  if (static_cast<double>(FSettings.Mux.FRecordingTime) / 1000000.0 <= APosition) return true;
  AVIOContext* pb = FOutputFiles[0]->Context->pb;
  return FSettings.Mux.FLimitFileSize != 0 && pb &&
         static_cast<uint64_t>(lib::avio_seek(pb, 0, SEEK_CUR)) > FSettings.Mux.FLimitFileSize;
}

void TCustomFFmpeg::DrainInputDecoders(TTranscodeRun& ARun, int AInput) {
  const TInputFileState& file = ARun.InputFiles[AInput];
  for (int s = file.FirstStreamIndex; s < file.FirstStreamIndex + file.StreamCount; ++s) {
    TInputStreamState& ist = *ARun.InputStreams[s];
    if (!ist.DecodingNeeded) continue;
    DecodeAndDispatchPacket(ARun, ist, nullptr);
    lib::avcodec_flush_buffers(ist.Decoder);
    ist.Flushed = 1;
  }
}

void TCustomFFmpeg::HandOnToLaterGroups(TTranscodeRun& ARun, int AInput) {
  const int outputCount = static_cast<int>(ARun.OutputStreams.size());
  const int next = (AInput + 1) * ARun.JoinStride;
  for (int k = next; k < outputCount; ++k) {
    TOutputStreamState& ost = *ARun.OutputStreams[k];
    const TOutputStreamState& before = *ARun.OutputStreams[k - ARun.JoinStride];
    ost.OutputTicks = before.OutputTicks;
    ost.FrameNumber = before.FrameNumber;
    ost.WrittenEnd = before.WrittenEnd;
  }
  // The audio still waiting for a whole encoder frame goes on with the
  // next input (the groups share their encoders).
  if (AInput + 1 >= FInputFileCount) return;
  for (int k = AInput * ARun.JoinStride; k < next && k + ARun.JoinStride < outputCount; ++k) {
    TOutputStreamState& from = *ARun.OutputStreams[k];
    TOutputStreamState& to = *ARun.OutputStreams[k + ARun.JoinStride];
    if (!to.Fifo) std::swap(to.Fifo, from.Fifo);
  }
}

double TCustomFFmpeg::GroupPosition(const TTranscodeRun& ARun, int AInput) const {
  const int outputCount = static_cast<int>(ARun.OutputStreams.size());
  const int next = (AInput + 1) * ARun.JoinStride;
  double largest = 0;
  for (int k = AInput * ARun.JoinStride; k < next && k < outputCount; ++k)
    largest = std::max(largest, OutputPosition(*ARun.OutputStreams[k]));
  return largest;
}

bool TCustomFFmpeg::EndJoinedInput(TTranscodeRun& ARun, int AInput) {
  // The encoders go on with the next input: they are drained only after
  // the last one.
  DrainInputDecoders(ARun, AInput);
  HandOnToLaterGroups(ARun, AInput);
  if (AInput + 1 >= FInputFileCount) return false;
  // The next input's timestamps follow on from the furthest position of
  // this group.
  FInputFiles[AInput + 1]->TsOffset += std::llround(GroupPosition(ARun, AInput) * 1000000.0);
  return true;
}

void TCustomFFmpeg::CorrectPacketTimestamps(int AInput, TInputStreamState& AStream, AVPacket* APacket) {
  // The input's offset and the stream's own shift, its scale, the jumps of
  // its clock.
  const AVRational timeBase = AStream.Stream->time_base;
  const int64_t offset = lib::av_rescale_q(FInputFiles[AInput]->TsOffset + AStream.TsShift, AV_TIME_BASE_Q, timeBase);
  if (APacket->dts != AV_NOPTS_VALUE) APacket->dts += offset;
  if (APacket->pts != AV_NOPTS_VALUE) APacket->pts += offset;
  const double scale = APacket->stream_index < MAX_STREAMS ? FInputFiles[AInput]->TsScale[APacket->stream_index] : 0.0;
  if (scale != 0.0) {
    if (APacket->dts != AV_NOPTS_VALUE) APacket->dts = std::llround(static_cast<double>(APacket->dts) * scale);
    if (APacket->pts != AV_NOPTS_VALUE) APacket->pts = std::llround(static_cast<double>(APacket->pts) * scale);
  }
  CloseTimestampJump(FInputFiles[AInput]->Context, AStream, APacket);
}

void TCustomFFmpeg::ReportProgressWhenDue(TTranscodeRun& ARun) {
  // The first report comes as soon as a packet was written, so that a row
  // shows its start at once (an encoder with a long look-ahead writes its
  // first packet only after a second of pictures); then one per interval.
  const int64_t now = lib::av_gettime();
  const bool due = now - ARun.LastReport > FProgressInterval;
  if (due || (!ARun.Reported && AnyPacketWritten(ARun))) {
    const bool reported = ReportProgress(ARun, false);
    ARun.Reported = ARun.Reported || reported;
    if (due || reported) ARun.LastReport = now;
  }
}

void TCustomFFmpeg::ProcessReadPacket(TTranscodeRun& ARun, int AInput, AVPacket* APacket) {
  if (FSettings.Run.FDoPktDump)
    lib::av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, APacket, FSettings.Run.FDoHexDump,
                          FInputFiles[AInput]->Context->streams[APacket->stream_index]);
  const TInputFileState& file = ARun.InputFiles[AInput];
  if (APacket->stream_index >= file.StreamCount ||
      ARun.InputStreams[file.FirstStreamIndex + APacket->stream_index]->Discard) {
    lib::av_packet_unref(APacket);
    return;
  }
  TInputStreamState& ist = *ARun.InputStreams[file.FirstStreamIndex + APacket->stream_index];
  CorrectPacketTimestamps(AInput, ist, APacket);
  if (DecodeAndDispatchPacket(ARun, ist, APacket) < 0) {
    const std::string text = Format("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.Index,
                                    MediaTypeName(ist.Stream->codecpar->codec_type).c_str());
    lib::av_packet_unref(APacket);
    if (FSettings.Run.FExitOnError) throw FFmpegException(text);
    if (FSettings.Run.FVerbose >= 0) FFLoggerInstance()->Log(this, llVerbose, text);
    return;
  }
  lib::av_packet_unref(APacket);
  CheckOutputLengths(ARun);
  ReportProgressWhenDue(ARun);
}

void TCustomFFmpeg::DrainRemainingDecoders(TTranscodeRun& ARun) {
  // Draining a decoder also drains the encoders it feeds.
  for (auto& ist : ARun.InputStreams)
    if (ist->DecodingNeeded && ist->Flushed != 1) DecodeAndDispatchPacket(ARun, *ist, nullptr);
  if (!FJoin) return;
  // Joined inputs leave their encoders to the end of the last one.
  const int outputCount = static_cast<int>(ARun.OutputStreams.size());
  for (int k = 0; k < ARun.JoinStride && k < outputCount; ++k) {
    TOutputStreamState& ost = *ARun.OutputStreams[k];
    if (!ost.EncodingNeeded || ost.Flushed) continue;
    // The encoder is shared: its last group's record holds the clock the
    // drained packets take.
    FlushEncoder(ARun, *ARun.OutputStreams[outputCount - ARun.JoinStride + k]);
    ost.Flushed = true;
  }
}

void TCustomFFmpeg::WriteTrailers() {
  // Join mode: the one output once. A trailer that could not be written, or
  // data that never reached the file, fails the run: the file is not a
  // valid one.
  for (const std::unique_ptr<TOutputFile>& output : FOutputRecords) {
    const int result = output->WriteTrailer();
    if (result < 0) throw FFmpegException("av_write_trailer(): " + LibraryErrorText(result));
  }
}

void TCustomFFmpeg::TranscodeLoop(TTranscodeRun& ARun) {
  // The inputs that had no packet ready: passed over until a packet is read
  // or none is left to try.
  bool noPacket[MAX_FILES] = {};
  int noPacketCount = 0;
  int chosen = FJoin ? 0 : -1;
  FTimerStart = lib::av_gettime();
  ARun.LastReport = FTimerStart;
  AVPacket* packet = FBuffers->Packet;

  while (!FStopRequested) {
    double smallestPosition = 1e100;
    chosen = FJoin ? JoinedInputToRead(ARun, chosen, smallestPosition)
                   : InputFurthestBehind(ARun, noPacket, smallestPosition);
    if (chosen < 0) {
      if (FJoin || noPacketCount == 0) break;
      std::fill(std::begin(noPacket), std::end(noPacket), false);
      noPacketCount = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (OutputLimitReached(smallestPosition)) break;

    const int result = lib::av_read_frame(FInputFiles[chosen]->Context, packet);
    if (result == AVERROR(EAGAIN)) {
      noPacket[chosen] = true;
      ++noPacketCount;
      continue;
    }
    if (result < 0) {
      // The end of an input (end of file and read errors alike).
      ARun.InputFiles[chosen].AtEnd = 1;
      if (FSettings.Run.FShortest && !FJoin) break;
      if (!FJoin) continue;
      if (!EndJoinedInput(ARun, chosen)) break;
      ++chosen;
      continue;
    }
    std::fill(std::begin(noPacket), std::end(noPacket), false);
    noPacketCount = 0;
    ProcessReadPacket(ARun, chosen, packet);
  }

  DrainRemainingDecoders(ARun);
  CheckSomethingWritten(ARun);
  WriteTrailers();
  ReportProgress(ARun, true);
  CloseOpenedCodecs();
  FFinished = !FStopRequested;
}
