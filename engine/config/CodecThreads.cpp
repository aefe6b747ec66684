#include "engine/config/CodecThreads.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

void ApplyCodecThreads(AVCodecContext* AContext, const AVCodec* ACodec, int ACount) {
  if (!AContext) return;
  constexpr int kThreaded = AV_CODEC_CAP_FRAME_THREADS | AV_CODEC_CAP_SLICE_THREADS | AV_CODEC_CAP_OTHER_THREADS;
  if (ACount <= 1 || !ACodec || (ACodec->capabilities & kThreaded) == 0) {
    AContext->thread_count = 1;
    return;
  }
  AContext->thread_count = ACount;
  // Frame threads where the codec has them; slice threads where it has only
  // those; otherwise the codec's own threads (libx264: frame threads, not
  // sliced), which frame threading asks for.
  const bool slicesOnly =
      !(ACodec->capabilities & AV_CODEC_CAP_FRAME_THREADS) && (ACodec->capabilities & AV_CODEC_CAP_SLICE_THREADS);
  AContext->thread_type = slicesOnly ? FF_THREAD_SLICE : FF_THREAD_FRAME;
}
