#pragma once
// Where an output stream's parameters go beyond what its encoder takes, the
// nearest thing the encoder does take: the channel layout, the sample rate,
// and an odd frame size that came from the source. Each Fit function
// changes AContext (the stream's encoder context, set up but not opened)
// only when the encoder would refuse its value, and says whether it did.

struct AVCodec;
struct AVCodecContext;

// A layout the encoder lists for the configured one: the listed layout with
// the same channel count, else the one with the most channels not above the
// count, else the first listed. An encoder that lists none but does not open
// with more than two channels gets stereo.
bool FitChannelLayout(const AVCodec* AEncoder, AVCodecContext* AContext);

// The listed sample rate nearest to the configured one (a tie goes to the
// higher rate). An encoder that lists none but does not open with the
// configured rate gets the nearest common rate it opens with.
bool FitSampleRate(const AVCodec* AEncoder, AVCodecContext* AContext);

// An odd width or height rounded down to even, when the encoder does not
// open with the odd size but does with the even one.
bool FitOddFrameSize(const AVCodec* AEncoder, AVCodecContext* AContext);
