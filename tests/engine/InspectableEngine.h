#pragma once
// Test access to TCustomFFmpeg's protected members: each `using` below makes
// one of them public for the tests that must read or arrange it, and the list
// is every protected member any test reaches. A test of what a run writes and
// reports needs none of them: it goes through the public accessors.

#include "engine/config/FFmpeg.h"

extern "C" {
#include <libavformat/avformat.h>
}

class TInspectableEngine : public TCustomFFmpeg {
 public:
  using TCustomFFmpeg::FBuffers;
  using TCustomFFmpeg::FFilterGraph;
  using TCustomFFmpeg::FHookAction;
  using TCustomFFmpeg::FHookFrameNumber;
  using TCustomFFmpeg::FHookRangeCount;
  using TCustomFFmpeg::FHookRangeIndex;
  using TCustomFFmpeg::FHookState;
  using TCustomFFmpeg::FInputCodecCount;
  using TCustomFFmpeg::FInputFileCount;
  using TCustomFFmpeg::FInputFiles;
  using TCustomFFmpeg::FLastError;
  using TCustomFFmpeg::FMetaDataMapCount;
  using TCustomFFmpeg::FMetaDataMaps;
  using TCustomFFmpeg::FOptionStore;
  using TCustomFFmpeg::FOutputCodecCount;
  using TCustomFFmpeg::FOutputFileCount;
  using TCustomFFmpeg::FOutputFiles;
  using TCustomFFmpeg::FOutputRecords;
  using TCustomFFmpeg::FSettings;
  using TCustomFFmpeg::FStreamMapCount;
  using TCustomFFmpeg::FStreamMaps;
  using TCustomFFmpeg::FTotalDuration;

  // The decoder named for the AIndex-th stream over all inputs that is not
  // a data stream (null for none, and past the last one).
  const AVCodec* InputCodec(int AIndex) const {
    for (int i = 0; i < FInputFileCount; ++i) {
      const TInputFile& input = *FInputFiles[i];
      for (unsigned j = 0; j < input.Context->nb_streams; ++j) {
        if (input.Context->streams[j]->codecpar->codec_type == AVMEDIA_TYPE_DATA) continue;
        if (AIndex-- == 0) return input.ForcedDecoders[j];
      }
    }
    return nullptr;
  }
  // The encoder named for the AIndex-th stream over all outputs, in the
  // order they were made (null for none, and past the last one).
  const AVCodec* OutputCodec(int AIndex) const {
    for (const auto& output : FOutputRecords)
      for (unsigned j = 0; j < output->Context->nb_streams; ++j)
        if (AIndex-- == 0) return output->Streams[j].ForcedEncoder;
    return nullptr;
  }
  // The set-up and the bitstream filters of stream AStream of output slot
  // AFile; an empty one where the slot holds no output.
  const TOutputStreamSetup& StreamSetup(int AFile, int AStream) const {
    static const TOutputStreamSetup kNone;
    return FOutputFiles[AFile] ? FOutputFiles[AFile]->Streams[AStream] : kNone;
  }
  const TBitstreamFilterChain& BitstreamFilters(int AFile, int AStream) const {
    static const TBitstreamFilterChain kNone;
    return FOutputFiles[AFile] ? FOutputFiles[AFile]->FBitstreamFilters[AStream] : kNone;
  }
};
