#include "engine/pipeline/PictureCorrections.h"

#include "runtime/FFUtils.h"
#include "runtime/OptionContexts.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"

namespace {

// Linear light at 100 cd/m2 for the SDR white, mapped with the Mobius curve
// (linear in the shadows and middle tones, so colours keep their strength)
// into BT.709's range, then coded as 8-bit 4:2:0 BT.709 limited range.
constexpr const char* kToneMap =
    "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=mobius:desat=0,"
    "zscale=t=bt709:m=bt709:r=tv,format=yuv420p";

}  // namespace

std::string TCorrectionPlan::Filters() const {
  std::string chain;
  auto add = [&chain](const std::string& AFilter) { chain += (chain.empty() ? "" : ",") + AFilter; };
  if (Deinterlace != diNone)
    add(std::string("yadif=mode=send_frame:parity=auto:deint=") + (Deinterlace == diEvery ? "all" : "interlaced"));
  if (ToneMap) add(kToneMap);
  if (!Turn.None()) add(Turn.Filters());
  return chain;
}

std::string TCorrectionPlan::Text() const {
  std::string text;
  auto add = [&text](const std::string& APart) { text += (text.empty() ? "" : ", ") + APart; };
  if (Deinterlace != diNone) add("deinterlaced");
  if (ToneMap) add("tone-mapped from high dynamic range to BT.709");
  if (!Turn.None()) add("turned upright (" + Turn.Text() + ")");
  return text;
}

bool HighDynamicRange(const AVStream* AStream) {
  const AVColorTransferCharacteristic transfer = AStream->codecpar->color_trc;
  return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

bool CodedInterlaced(const AVStream* AStream) {
  const AVFieldOrder order = AStream->codecpar->field_order;
  return order == AV_FIELD_TT || order == AV_FIELD_BB || order == AV_FIELD_TB || order == AV_FIELD_BT;
}

TPictureCorrections::~TPictureCorrections() {
  if (FGraph) lib::avfilter_graph_free(&FGraph);
}

bool TPictureCorrections::Open(const AVFrame* AFirst, AVRational ATimeBase, std::string& AError) {
  if (FGraph) return true;
  AVFilterGraph* graph = lib::avfilter_graph_alloc();
  if (!graph) return false;
  graph->nb_threads = FThreads > 1 ? FThreads : 1;
  const AVRational sar = AFirst->sample_aspect_ratio.num > 0 ? AFirst->sample_aspect_ratio : AVRational{1, 1};
  if (ATimeBase.num <= 0 || ATimeBase.den <= 0) ATimeBase = AVRational{1, AV_TIME_BASE};
  const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", AFirst->width,
                                  AFirst->height, AFirst->format, ATimeBase.num, ATimeBase.den, sar.num, sar.den);
  AVFilterContext *source = nullptr, *sink = nullptr;
  int result = lib::avfilter_graph_create_filter(&source, lib::avfilter_get_by_name("buffer"), "in", args.c_str(),
                                                 nullptr, graph);
  if (result >= 0)
    result = lib::avfilter_graph_create_filter(&sink, lib::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                               graph);
  AVFilterInOut* outputs = result >= 0 ? lib::avfilter_inout_alloc() : nullptr;
  AVFilterInOut* inputs = result >= 0 ? lib::avfilter_inout_alloc() : nullptr;
  if (result >= 0 && (!outputs || !inputs)) result = AVERROR(ENOMEM);
  if (result >= 0) {
    outputs->name = lib::av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = lib::av_strdup("out");
    inputs->filter_ctx = sink;
    result = lib::avfilter_graph_parse_ptr(graph, FPlan.Filters().c_str(), &inputs, &outputs, nullptr);
  }
  lib::avfilter_inout_free(&inputs);
  lib::avfilter_inout_free(&outputs);
  if (result >= 0) result = lib::avfilter_graph_config(graph, nullptr);
  if (result < 0) {
    AError = LibraryErrorText(result);
    lib::avfilter_graph_free(&graph);
    return false;
  }
  FGraph = graph;
  FSource = source;
  FSink = sink;
  return true;
}

int TPictureCorrections::Send(AVFrame* APicture) {
  if (!FGraph) return AVERROR(EINVAL);
  return lib::av_buffersrc_add_frame_flags(FSource, APicture, APicture ? AV_BUFFERSRC_FLAG_KEEP_REF : 0);
}

int TPictureCorrections::Receive(AVFrame* AOut) {
  if (!FGraph) return AVERROR_EOF;
  return lib::av_buffersink_get_frame(FSink, AOut);
}

AVRational TPictureCorrections::TimeBase() const {
  return FSink ? lib::av_buffersink_get_time_base(FSink) : AVRational{1, AV_TIME_BASE};
}
