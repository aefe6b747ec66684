#pragma once
extern "C" {
#include <libswscale/swscale.h>
}
#include "runtime/lib/AVUtil.h"

#define VIDMILL_SWSCALE_FUNCTIONS(X) \
  X(sws_getContext) X(sws_getCachedContext) X(sws_freeContext) X(sws_scale) X(sws_get_class)

namespace lib {
VIDMILL_SWSCALE_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
