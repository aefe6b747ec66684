#pragma once
#include <opencore-amrnb/interf_enc.h>

#include "runtime/lib/Bound.h"

#define VIDMILL_AMRNB_FUNCTIONS(X) X(Encoder_Interface_init) X(Encoder_Interface_exit) X(Encoder_Interface_Encode)

namespace lib {
VIDMILL_AMRNB_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
