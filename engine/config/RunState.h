#pragma once
// The engine instance's own states that outlive a single call: the frame
// hook state, the preview state and the pipeline's reusable buffers.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/FrameBitmap.h"
#include "runtime/FrameHook.h"
#include "runtime/Hooks.h"
#include "runtime/Previewer.h"

struct AVFrame;
struct AVPacket;

// Frame hooks of one engine instance: the module chain of the "vhook"
// option and the picture the hooks see.
struct THookState {
  TFrameHookChain Chain;
  std::string HookText;  // the "vhook" text that built the chain
  TFrameBitmap Rgb;      // the picture the custom hook sees
};

// Previews of one engine instance.
struct TPreviewState {
  int64_t LastPreviewTime = 0;         // microseconds, wall clock
  TFrameBitmap Rgb;                    // the picture previews show
  std::unique_ptr<TPreviewer> Window;  // the preview window, made on first use
};

// Buffers of the pipeline, allocated on first use and kept for the engine
// instance; the byte buffers only grow. Freed by Cleanup.
struct TPipelineBuffers {
  TPipelineBuffers();
  ~TPipelineBuffers();
  TPipelineBuffers(const TPipelineBuffers&) = delete;
  TPipelineBuffers& operator=(const TPipelineBuffers&) = delete;

  AVFrame* Decoded = nullptr;         // the frame the decoders write into
  AVFrame* Converted = nullptr;       // audio after resampling or format conversion
  AVFrame* Encoding = nullptr;        // one encoder frame of audio
  AVFrame* Scaled = nullptr;          // a working picture of the video path
  AVFrame* Hooked = nullptr;          // the hook stage's working copy of a picture
  AVFrame* VideoOut = nullptr;        // the picture handed to a video encoder
  AVFrame* Cropped = nullptr;         // a cropped view of a picture
  AVFrame* Corrected = nullptr;       // a picture out of its input's corrections
  AVPacket* Packet = nullptr;         // packets read from the inputs
  AVPacket* Encoded = nullptr;        // packets received from the encoders
  std::vector<uint8_t> Silence;       // zero bytes for inserted silence
  std::vector<uint8_t> SubtitleOut;   // one encoded subtitle (1 MiB once used)
  std::array<int, 52> QpHistogram{};  // quantiser counts of the "qphist" report
};
