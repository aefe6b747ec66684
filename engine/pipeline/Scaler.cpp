#include "engine/pipeline/Scaler.h"

#include <memory>

#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwScale.h"

namespace {

struct TFrameFree {
  void operator()(AVFrame* AFrame) const { lib::av_frame_free(&AFrame); }
};
using TFrame = std::unique_ptr<AVFrame, TFrameFree>;

int64_t IntOption(SwsContext* AScaler, const char* AName) {
  int64_t value = 0;
  lib::av_opt_get_int(AScaler, AName, 0, &value);
  return value;
}

}  // namespace

SwsContext* MakeScaler(int ASourceWidth, int ASourceHeight, int ASourceFormat, int ATargetWidth, int ATargetHeight,
                       int ATargetFormat, int AFlags, int AThreads) {
  SwsContext* scaler = lib::sws_alloc_context();
  if (!scaler) return nullptr;
  const bool set = lib::av_opt_set_int(scaler, "srcw", ASourceWidth, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "srch", ASourceHeight, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "src_format", ASourceFormat, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "dstw", ATargetWidth, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "dsth", ATargetHeight, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "dst_format", ATargetFormat, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "sws_flags", AFlags, 0) >= 0 &&
                   lib::av_opt_set_int(scaler, "threads", AThreads > 1 ? AThreads : 1, 0) >= 0;
  if (!set || lib::sws_init_context(scaler, nullptr, nullptr) < 0) {
    lib::sws_freeContext(scaler);
    return nullptr;
  }
  return scaler;
}

bool ScaleInto(SwsContext* AScaler, const AVFrame* ASource, const AVFrame* ABuffer, uint8_t* const ATarget[4],
               const int ATargetLines[4]) {
  // Views of both pictures that share their buffers: the source cut to the
  // lines the scaler reads, the target placed on the area to write.
  TFrame source(lib::av_frame_alloc()), target(lib::av_frame_alloc());
  if (!source || !target || lib::av_frame_ref(source.get(), ASource) < 0 ||
      lib::av_frame_ref(target.get(), ABuffer) < 0)
    return false;
  source->height = static_cast<int>(IntOption(AScaler, "srch"));
  target->width = static_cast<int>(IntOption(AScaler, "dstw"));
  target->height = static_cast<int>(IntOption(AScaler, "dsth"));
  for (int p = 0; p < 4; ++p) {
    target->data[p] = ATarget[p];
    target->linesize[p] = ATargetLines[p];
  }
  return lib::sws_scale_frame(AScaler, target.get(), source.get()) >= 0;
}
