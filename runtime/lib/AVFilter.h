#pragma once
extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}
#include "runtime/lib/AVUtil.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_AVFILTER_FUNCTIONS(X) \
  X(avfilter_get_by_name) X(avfilter_graph_alloc) X(avfilter_graph_free) X(avfilter_graph_create_filter) \
  X(avfilter_graph_parse_ptr) X(avfilter_graph_config) X(avfilter_link) X(avfilter_inout_alloc) \
  X(avfilter_inout_free) X(avfilter_graph_set_auto_convert) \
  X(av_buffersrc_add_frame_flags) X(av_buffersrc_parameters_alloc) X(av_buffersrc_parameters_set) \
  X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags) X(av_buffersink_get_w) X(av_buffersink_get_h) \
  X(av_buffersink_get_format) X(av_buffersink_get_sample_aspect_ratio) X(av_buffersink_get_time_base)
// clang-format on

namespace lib {
VIDMILL_AVFILTER_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
