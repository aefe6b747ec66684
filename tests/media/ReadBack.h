// Reading a finished file back as an independent player would: the file is
// opened and every stream decoded to its end with the libraries themselves
// (nothing of the product's code), and what a viewer would get is kept:
// the streams' times on the file's timeline, the pictures' format, size,
// proportions, orientation and field order, and where the sound is heard.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
}

#include "tests/media/TestMedia.h"

namespace testmedia {

// A decoded picture as RGB24, BT.601 (as the test media are made).
struct RgbPicture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;  // width * 3 bytes a row
  // Mean colour of the inner region of a quadrant, and the largest
  // per-channel distance of that mean from the colour.
  double Distance(Quadrant q, const Rgb& colour) const;
  // Which picture of the pattern this is, by where the moving bar stands
  // (the picture number modulo 16); -1 when no bar is found.
  int BarFrame() const;
  // The part that is not black bars (letterbox or pillarbox), and that part
  // alone as a picture.
  Rect Content() const;
  RgbPicture Crop(const Rect& r) const;
  // The pattern is shown upright and unmirrored: each quadrant has its own
  // colour, within tolerance.
  bool Upright(double tolerance = 48) const;
};

struct StreamReadBack {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  std::string codec;               // the decoder's name
  int profile = -99, level = -99;  // of the codec parameters (FF_PROFILE_UNKNOWN / FF_LEVEL_UNKNOWN: -99)
  int decodeErrors = 0;
  // Times on the file's timeline, microseconds: the start of the first
  // decoded frame and the end of the last one (AV_NOPTS_VALUE: none).
  int64_t firstUs = AV_NOPTS_VALUE, endUs = AV_NOPTS_VALUE;
  // Video.
  int64_t frames = 0;
  int width = 0, height = 0;
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;  // of the first decoded picture
  AVRational sampleAspect{0, 1};                // as a player takes it: the stream's, else the picture's; 0/1 unknown
  double rotation = 0;                          // the stream's display matrix, degrees counter-clockwise (0: none)
  bool interlaced = false;                      // some decoded picture is marked interlaced
  int fieldOrder = 0;                           // AVFieldOrder of the codec parameters
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  RgbPicture first, middle;  // the first picture, and one from the middle of the stream
  // Audio.
  int sampleRate = 0, channels = 0;
  int64_t samples = 0;  // per channel
  // When the sound is first heard (the first channel above a tenth of full
  // scale), on the file's timeline; AV_NOPTS_VALUE: never.
  int64_t firstAudibleUs = AV_NOPTS_VALUE;

  double Seconds() const {
    return firstUs == AV_NOPTS_VALUE || endUs == AV_NOPTS_VALUE ? 0.0 : (endUs - firstUs) / 1e6;
  }
  // Width / height as shown (square pixels when the aspect is not known),
  // of the whole frame and of the content between black bars.
  double DisplayAspect() const;
  double ContentAspect() const;
};

struct FileReadBack {
  bool opened = false;
  std::string error;
  std::string format;
  int64_t durationUs = AV_NOPTS_VALUE;  // the container's own
  std::vector<StreamReadBack> streams;

  const StreamReadBack* First(AVMediaType type) const;
  const StreamReadBack* Video() const { return First(AVMEDIA_TYPE_VIDEO); }
  const StreamReadBack* Audio() const { return First(AVMEDIA_TYPE_AUDIO); }
  // How long it plays: from the earliest start of a stream to the latest end.
  double PlaySeconds() const;
};

// Opens and decodes path; a file that cannot be opened comes back with
// opened false and the reason in error.
FileReadBack ReadBack(const std::string& path);

}  // namespace testmedia
