#pragma once
// An engine instance whose internal tables the tests may read and arrange.
// Tests of what a run writes and reports need none of this; the tests of
// SetOption, OpenInputFile, OpenOutputFile and the audio and video paths
// still look at the tables directly.

#include "engine/config/FFmpeg.h"

class TInspectableEngine : public TCustomFFmpeg {
 public:
  using TCustomFFmpeg::FBitstreamFilters;
  using TCustomFFmpeg::FBuffers;
  using TCustomFFmpeg::FFilterGraph;
  using TCustomFFmpeg::FHookAction;
  using TCustomFFmpeg::FHookFrameNumber;
  using TCustomFFmpeg::FHookRangeCount;
  using TCustomFFmpeg::FHookRangeIndex;
  using TCustomFFmpeg::FHookState;
  using TCustomFFmpeg::FInputCodecCount;
  using TCustomFFmpeg::FInputCodecs;
  using TCustomFFmpeg::FInputFileCount;
  using TCustomFFmpeg::FInputFiles;
  using TCustomFFmpeg::FInputFilesTsOffset;
  using TCustomFFmpeg::FInputFilesTsScale;
  using TCustomFFmpeg::FLastError;
  using TCustomFFmpeg::FMetaDataMapCount;
  using TCustomFFmpeg::FMetaDataMaps;
  using TCustomFFmpeg::FOptionStore;
  using TCustomFFmpeg::FOutputCodecCount;
  using TCustomFFmpeg::FOutputCodecs;
  using TCustomFFmpeg::FOutputFileCount;
  using TCustomFFmpeg::FOutputFiles;
  using TCustomFFmpeg::FOutputStreamSetups;
  using TCustomFFmpeg::FSettings;
  using TCustomFFmpeg::FStreamMapCount;
  using TCustomFFmpeg::FStreamMaps;
  using TCustomFFmpeg::FTotalDuration;
};
