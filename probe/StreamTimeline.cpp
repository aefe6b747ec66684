#include "probe/StreamTimeline.h"

#include <algorithm>

#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"

namespace {

constexpr int64_t kUnknown = INT64_MIN;

int64_t Microseconds(int64_t AValue, AVRational ATimeBase) {
  if (AValue == AV_NOPTS_VALUE || ATimeBase.num <= 0 || ATimeBase.den <= 0) return kUnknown;
  return lib::av_rescale_q(AValue, ATimeBase, AVRational{1, AV_TIME_BASE});
}

bool TakenByDefault(const AVStream* AStream) {
  const AVMediaType type = AStream->codecpar->codec_type;
  return (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO) && AStream->discard != AVDISCARD_ALL &&
         !(AStream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The larger gap that two streams' starts may have and still belong together.
int64_t RelatedGapLimit(int64_t ALength, int64_t AOtherLength) {
  int64_t shorter = -1;
  if (ALength > 0 && AOtherLength > 0)
    shorter = std::min(ALength, AOtherLength);
  else
    shorter = std::max(ALength, AOtherLength);
  return std::max(kUnrelatedStartGap, shorter);
}

// The start and the length of a taken stream, microseconds.
void SetStartAndLength(TStreamTiming& ATiming, const AVStream* AStream, int64_t AFileStart, int64_t AFileEnd) {
  ATiming.Start = Microseconds(AStream->start_time, AStream->time_base);
  const int64_t duration = Microseconds(AStream->duration, AStream->time_base);
  if (duration != kUnknown && duration > 0) {
    ATiming.Length = duration;
  } else if (AFileEnd != kUnknown) {
    // Without a duration of its own a stream lasts to the file's end.
    const int64_t start = ATiming.Start != kUnknown ? ATiming.Start : AFileStart;
    if (start != kUnknown && AFileEnd > start) ATiming.Length = AFileEnd - start;
  }
}

}  // namespace

TFileTimeline FileTimeline(const AVFormatContext* AContext, const std::vector<bool>& ATaken) {
  TFileTimeline timeline;
  if (!AContext) return timeline;
  const int64_t fileStart = AContext->start_time != AV_NOPTS_VALUE ? AContext->start_time : kUnknown;
  const int64_t fileEnd = AContext->duration != AV_NOPTS_VALUE && AContext->duration > 0
                              ? (fileStart != kUnknown ? fileStart : 0) + AContext->duration
                              : kUnknown;
  timeline.Streams.resize(AContext->nb_streams);
  int earliest = -1;
  for (unsigned i = 0; i < AContext->nb_streams; ++i) {
    const AVStream* stream = AContext->streams[i];
    TStreamTiming& timing = timeline.Streams[i];
    timing.Taken = ATaken.empty() ? TakenByDefault(stream) : (i < ATaken.size() && ATaken[i]);
    if (!timing.Taken) continue;
    SetStartAndLength(timing, stream, fileStart, fileEnd);
    if (timing.Start != kUnknown &&
        (earliest < 0 || timing.Start < timeline.Streams[static_cast<size_t>(earliest)].Start))
      earliest = static_cast<int>(i);
  }
  if (earliest < 0) {
    timeline.Zero = fileStart != kUnknown ? fileStart : 0;
    timeline.Length = AContext->duration != AV_NOPTS_VALUE && AContext->duration > 0 ? AContext->duration : -1;
    return timeline;
  }
  const TStreamTiming first = timeline.Streams[static_cast<size_t>(earliest)];
  timeline.Zero = first.Start;
  for (TStreamTiming& timing : timeline.Streams) {
    if (!timing.Taken) continue;
    int64_t position = 0;  // the stream's start on the lined-up timeline
    if (timing.Start != kUnknown) {
      const int64_t gap = timing.Start - timeline.Zero;
      if (gap > RelatedGapLimit(timing.Length, first.Length)) {
        timing.Shift = -gap;
        timeline.SeparateStarts = true;
      } else {
        position = gap;
      }
    }
    if (timing.Length > 0) timeline.Length = std::max(timeline.Length, position + timing.Length);
  }
  return timeline;
}
