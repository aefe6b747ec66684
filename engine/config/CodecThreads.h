#pragma once
// How many threads a codec context is opened with, and of which kind. A
// codec that declares no threading keeps one thread (H.263, Sorenson,
// WMV2, MP2, AAC, the engine's AMR-NB). Decoders take frame threads where
// they have them (every picture decoded whole, as with one thread) and
// slice threads otherwise; libx264 takes its own frame threads; the MPEG
// video encoders take slice threads. Either way what is written is valid
// and the same on every run with the same count.

struct AVCodec;
struct AVCodecContext;

// Sets AContext's thread count and type for ACodec from ACount (the task's
// thread budget; 1 or less is one thread).
void ApplyCodecThreads(AVCodecContext* AContext, const AVCodec* ACodec, int ACount);
