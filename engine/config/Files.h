#pragma once
// The opened files of an engine instance, one record each: an input with its
// format context and its place in time, an output with its muxer, its names
// on disk and the encoder and bitstream filters of each of its streams. A
// record owns what it holds and frees it when it goes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/Capacities.h"
#include "engine/config/Settings.h"

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
class TAmrNbEncoder;

// One opened input. Its format context is closed with the record.
struct TInputFile {
  explicit TInputFile(AVFormatContext* AContext) : Context(AContext) {}
  ~TInputFile();
  TInputFile(const TInputFile&) = delete;
  TInputFile& operator=(const TInputFile&) = delete;

  AVFormatContext* Context = nullptr;
  // Microseconds added to every timestamp read from the input (the
  // "itsoffset" option less its start, or with "copyts" the option alone);
  // the set-up of a run lines it up and join mode chains it on.
  int64_t TsOffset = 0;
  // The factor of each stream's timestamps ("itsscale"), 0 for none.
  double TsScale[MAX_STREAMS] = {};
  // How it was opened in time: the zero its offset counts from, the start
  // position it was opened at, and the time (after its offset) before which
  // its decoded pictures and samples are dropped.
  int64_t OpenZero = 0;
  int64_t StartPosition = 0;
  int64_t DropBefore = INT64_MIN;  // INT64_MIN: nothing is dropped
  // The decoder named for each of its streams before it opened (null: the
  // codec's own), and how many of its streams count against the stream
  // capacity of the engine instance (all but data streams).
  std::vector<const AVCodec*> ForcedDecoders;
  int CodecEntries = 0;
};

// The encoder set-up of one output stream.
struct TOutputStreamSetup {
  TOutputStreamSetup();
  ~TOutputStreamSetup();
  TOutputStreamSetup(const TOutputStreamSetup&) = delete;
  TOutputStreamSetup& operator=(const TOutputStreamSetup&) = delete;
  // Frees the encoder context and forgets the set-up.
  void Clear();

  AVCodecContext* Codec = nullptr;  // owned
  // The encoder chosen by name for the stream, null for the codec's own.
  const AVCodec* ForcedEncoder = nullptr;
  bool StreamCopy = false;
  // Black bars of a video stream around the scaled picture (the pad
  // options, and the bars of an aspect fit), in pixels.
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  // The engine's own AMR-NB encoder, when it encodes this stream (libavcodec
  // has none).
  std::unique_ptr<TAmrNbEncoder> AmrNb;
};

// One opened output: its muxer from the header to the trailer, and its file
// on disk. The record frees the encoder contexts, the bitstream filters, the
// muxer's I/O and the format context when it goes; whether the file stays is
// decided before that (Close).
struct TOutputFile {
  explicit TOutputFile(AVFormatContext* AContext) : Context(AContext) {}
  ~TOutputFile();
  TOutputFile(const TOutputFile&) = delete;
  TOutputFile& operator=(const TOutputFile&) = delete;

  // The library's result of writing the header.
  int WriteHeader();
  // Writes the trailer and everything still buffered; the library's result,
  // or the I/O error that kept data from reaching the file.
  int WriteTrailer();
  // Closes the file and gives it its name when it was written under a
  // temporary one; the library's result of the rename (0 when there was
  // nothing to rename).
  int Publish();
  // Closes the file and removes it when it is unwanted: created by this
  // output and ADiscardCreated, or left empty (unless it is a reservation
  // under another name and AKeepReservation).
  void Close(bool ADiscardCreated, bool AKeepReservation);

  AVFormatContext* Context = nullptr;
  // Its name as given, the name written to (a temporary name beside it,
  // renamed onto the name when the run ends), and whether this engine
  // created it, so that a run that fails removes it instead of leaving a
  // broken file.
  std::u16string Name;
  std::u16string WrittenName;
  bool Created = false;
  // Per stream, by its index in the output.
  TOutputStreamSetup Streams[MAX_STREAMS];
  TBitstreamFilterChain FBitstreamFilters[MAX_STREAMS];
};
