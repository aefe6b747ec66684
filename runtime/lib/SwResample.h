#pragma once
extern "C" {
#include <libswresample/swresample.h>
}
#include "runtime/lib/AVUtil.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_SWRESAMPLE_FUNCTIONS(X) \
  X(swr_alloc) X(swr_alloc_set_opts2) X(swr_init) X(swr_free) X(swr_convert) X(swr_set_compensation) \
  X(swr_get_delay) X(swr_get_out_samples)
// clang-format on

namespace lib {
VIDMILL_SWRESAMPLE_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
