#pragma once
extern "C" {
#include <libswscale/swscale.h>
}
#include "runtime/lib/AVUtil.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_SWSCALE_FUNCTIONS(X) \
  X(sws_getContext) X(sws_getCachedContext) X(sws_freeContext) X(sws_scale) X(sws_get_class) \
  X(sws_alloc_context) X(sws_init_context) X(sws_scale_frame)
// clang-format on

namespace lib {
VIDMILL_SWSCALE_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
