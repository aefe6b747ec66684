#include "engine/config/EncoderLimits.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <vector>

#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVUtil.h"

namespace {

// Whether AEncoder opens with the parameters of ATemplate as AChange leaves
// them. The open is a trial on a context of its own, with the library's
// messages of this thread muted: its failure is an expected answer.
bool TrialOpens(const AVCodec* AEncoder, const AVCodecContext* ATemplate,
                const std::function<void(AVCodecContext*)>& AChange) {
  AVCodecContext* trial = lib::avcodec_alloc_context3(AEncoder);
  if (trial == nullptr) return false;
  trial->codec_type = ATemplate->codec_type;
  trial->bit_rate = ATemplate->bit_rate;
  trial->time_base = ATemplate->time_base;
  trial->framerate = ATemplate->framerate;
  trial->width = ATemplate->width;
  trial->height = ATemplate->height;
  trial->pix_fmt = ATemplate->pix_fmt;
  trial->sample_aspect_ratio = ATemplate->sample_aspect_ratio;
  trial->sample_fmt = ATemplate->sample_fmt;
  trial->sample_rate = ATemplate->sample_rate;
  trial->global_quality = ATemplate->global_quality;
  trial->flags = ATemplate->flags & ~(AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2);
  trial->thread_count = 1;
  lib::av_channel_layout_copy(&trial->ch_layout, &ATemplate->ch_layout);
  AChange(trial);
  int result;
  {
    TLibraryLogMute mute;
    TServingLock<std::recursive_mutex> guard(CodecLock());
    result = lib::avcodec_open2(trial, AEncoder, nullptr);
    lib::avcodec_free_context(&trial);
  }
  return result >= 0;
}

bool Listed(const AVChannelLayout* AList, const AVChannelLayout& ALayout) {
  for (; AList->nb_channels != 0; ++AList)
    if (lib::av_channel_layout_compare(AList, &ALayout) == 0) return true;
  return false;
}

void SetLayout(AVCodecContext* AContext, const AVChannelLayout& ALayout) {
  AVChannelLayout copy{};
  if (lib::av_channel_layout_copy(&copy, &ALayout) < 0) return;
  lib::av_channel_layout_uninit(&AContext->ch_layout);
  AContext->ch_layout = copy;
}

}  // namespace

bool FitChannelLayout(const AVCodec* AEncoder, AVCodecContext* AContext) {
  if (AEncoder == nullptr || AContext->ch_layout.nb_channels <= 0) return false;
  const int count = AContext->ch_layout.nb_channels;
  if (AEncoder->ch_layouts != nullptr) {
    const AVChannelLayout* list = AEncoder->ch_layouts;
    if (list->nb_channels == 0 || Listed(list, AContext->ch_layout)) return false;
    const AVChannelLayout* same = nullptr;   // the first with the configured count
    const AVChannelLayout* fewer = nullptr;  // the first with the most channels below it
    for (const AVChannelLayout* l = list; l->nb_channels != 0; ++l) {
      if (l->nb_channels == count && same == nullptr) same = l;
      if (l->nb_channels < count && (fewer == nullptr || l->nb_channels > fewer->nb_channels)) fewer = l;
    }
    SetLayout(AContext, same != nullptr ? *same : fewer != nullptr ? *fewer : *list);
    return true;
  }
  // No list: more than two channels are tried at an open of their own.
  if (count <= 2 || TrialOpens(AEncoder, AContext, [](AVCodecContext*) {})) return false;
  AVChannelLayout stereo{};
  lib::av_channel_layout_default(&stereo, 2);
  if (!TrialOpens(AEncoder, AContext, [&](AVCodecContext* ATrial) { SetLayout(ATrial, stereo); })) return false;
  SetLayout(AContext, stereo);
  return true;
}

// The common sample rates, for an encoder that lists none.
constexpr int kCommonRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 0};

bool FitSampleRate(const AVCodec* AEncoder, AVCodecContext* AContext) {
  if (AEncoder == nullptr || AContext->sample_rate <= 0) return false;
  const int rate = AContext->sample_rate;
  if (AEncoder->supported_samplerates == nullptr) {
    // No list (WMA takes up to 48 kHz and says so only by refusing more):
    // a trial open, then the common rates nearest first.
    if (TrialOpens(AEncoder, AContext, [](AVCodecContext*) {})) return false;
    std::vector<int> rates(std::begin(kCommonRates), std::end(kCommonRates) - 1);
    std::stable_sort(rates.begin(), rates.end(), [rate](int A, int B) {
      const long a = std::labs(static_cast<long>(A) - rate), b = std::labs(static_cast<long>(B) - rate);
      return a != b ? a < b : A > B;
    });
    for (int candidate : rates) {
      if (candidate == rate) continue;
      if (!TrialOpens(AEncoder, AContext, [candidate](AVCodecContext* ATrial) {
            ATrial->sample_rate = candidate;
            ATrial->time_base = AVRational{1, candidate};
          }))
        continue;
      AContext->sample_rate = candidate;
      AContext->time_base = AVRational{1, candidate};
      return true;
    }
    return false;
  }
  int best = 0;
  for (const int* r = AEncoder->supported_samplerates; *r != 0; ++r) {
    if (*r == rate) return false;
    const long distance = std::labs(static_cast<long>(*r) - rate);
    const long bestDistance = std::labs(static_cast<long>(best) - rate);
    if (best == 0 || distance < bestDistance || (distance == bestDistance && *r > best)) best = *r;
  }
  if (best == 0) return false;
  AContext->sample_rate = best;
  AContext->time_base = AVRational{1, best};
  return true;
}

bool FitOddFrameSize(const AVCodec* AEncoder, AVCodecContext* AContext) {
  if (AEncoder == nullptr || (AContext->width % 2 == 0 && AContext->height % 2 == 0)) return false;
  const int width = AContext->width & ~1, height = AContext->height & ~1;
  if (width <= 0 || height <= 0 || TrialOpens(AEncoder, AContext, [](AVCodecContext*) {})) return false;
  if (!TrialOpens(AEncoder, AContext, [&](AVCodecContext* ATrial) {
        ATrial->width = width;
        ATrial->height = height;
      }))
    return false;
  AContext->width = width;
  AContext->height = height;
  return true;
}
