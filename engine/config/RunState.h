#pragma once
// The engine instance's own states that outlive a single call: the frame
// hook state, the preview state and the pipeline's reusable buffers.

#include <memory>
#include <string>

#include "runtime/FrameHook.h"
#include "runtime/Hooks.h"

// Frame hooks of one engine instance: the module chain of the "vhook"
// option and the picture the hooks see.
struct THookState {
  TFrameHookChain Chain;
  std::string HookText;  // the "vhook" text that built the chain
};

// Previews of one engine instance.
struct TPreviewState {
  int64_t LastPreviewTime = 0;  // microseconds, wall clock
};

// Buffers of the pipeline, allocated on first use and kept for the engine
// instance (they only grow).
struct TPipelineBuffers {};
