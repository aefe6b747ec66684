// The scaler of a video output path: a libswscale context that converts with
// slice threads, so a task that has the processors to itself scales on all
// of them. The lines it writes are the same for every thread count.
#pragma once
#include <cstdint>

struct AVFrame;
struct SwsContext;

// A scaler from the source size and pixel format to the target's with the
// given flags and AThreads slice threads (1: the calling thread only);
// nullptr when libswscale refuses the conversion.
SwsContext* MakeScaler(int ASourceWidth, int ASourceHeight, int ASourceFormat, int ATargetWidth, int ATargetHeight,
                       int ATargetFormat, int AFlags, int AThreads);

// Scales the picture of ASource (its first lines of the scaler's source
// height) into the area of ABuffer that starts at the ATarget planes,
// ATargetLines bytes apart, of the scaler's target size. ABuffer owns the
// memory ATarget points into. Returns false when libswscale failed.
bool ScaleInto(SwsContext* AScaler, const AVFrame* ASource, const AVFrame* ABuffer, uint8_t* const ATarget[4],
               const int ATargetLines[4]);
