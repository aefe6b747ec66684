#pragma once
#include "runtime/lib/Bound.h"
#include "runtime/myutil/MyUtils.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_MYUTIL_FUNCTIONS(X) \
  X(my_fclose) X(my_fopen) X(my_fprintf) X(my_fread) X(my_fseek) X(my_ftell) X(my_fwrite) X(my_snprintf) \
  X(my_strtod) X(my_strtok) X(my_strtol) X(my_vsprintf)
// clang-format on

namespace lib {
VIDMILL_MYUTIL_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
