#pragma once
// The generic option contexts through which option names that the engine
// does not know itself reach the libraries' option systems: one codec
// context per media type, a format context and a scaler context. Every name
// set successfully is remembered, so that it can be applied again to the
// real contexts of inputs, outputs and streams.

#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVDictionary;
struct SwsContext;

// Media types in the order of the codec contexts: video, audio, data,
// subtitle, attachment (the library's AVMEDIA_TYPE_* values 0..4).
constexpr int kOptionMediaTypes = 5;

struct TOptionContexts {
  AVCodecContext* Codec[kOptionMediaTypes] = {};
  AVFormatContext* Format = nullptr;
  SwsContext* Scaler = nullptr;
  std::vector<std::string> Names;  // names set so far, in order (they may repeat)
};

// Allocates the contexts (the scaler for 16x16 pixel format 0 with ASwsFlags).
// Returns false when the library could not allocate one of them.
bool AllocOptionContexts(TOptionContexts& AContexts, int ASwsFlags);
void FreeOptionContexts(TOptionContexts& AContexts);

// Sets AName to AValue in the first contexts that know it: the codec
// contexts by media type, then the format context, then the scaler; a name
// beginning with "a", "v" or "s" that none knows is tried without that
// letter on the audio, video or subtitle codec context. False when the
// name or value is empty, no context knows the name, or the value was
// refused ("Invalid value ... for option ..." goes to the library log).
bool SetGenericOption(TOptionContexts& AContexts, const std::string& AName, const std::string& AValue);

// Copies every remembered option whose flags contain all of AFlags from
// ASource (an option-enabled library object: a context of AContexts) to
// ATarget (an object of the same kind).
void ApplySetOptions(const TOptionContexts& AContexts, void* ASource, void* ATarget, int AFlags);

// The remembered options with all of AFlags, read from ASource, as a
// dictionary for the library's open calls (options of private classes of
// muxers and encoders are taken there). The caller frees it.
AVDictionary* SetOptionsDictionary(const TOptionContexts& AContexts, void* ASource, int AFlags);

// The codec's name, or "name(long name)"; without a codec the tag or name
// the context carries.
std::string CodecNameText(const AVCodecContext* AContext, bool AEncoder);
// The codec name text of a stream's parameters (codec id and tag).
std::string CodecNameText(int ACodecId, unsigned ACodecTag, bool AEncoder);

// The library's text for an error code (av_strerror).
std::string LibraryErrorText(int ACode);

// The value of AKey in ADictionary, or ADefault.
std::string MetadataValue(const AVDictionary* ADictionary, const std::string& AKey, const std::string& ADefault);
