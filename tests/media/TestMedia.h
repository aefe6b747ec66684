// Test media generator: writes small synthetic clips in the containers and
// codecs that Vidmill has to read, so tests never depend on sample files.
//
// Picture contract (every video frame and every still)
// ----------------------------------------------------
// The frame is split into four quadrants of solid colour, the split being at
// column width/2 and row height/2 (integer division):
//     top-left     red    (255,   0,   0)
//     top-right    green  (  0, 255,   0)
//     bottom-left  blue   (  0,   0, 255)
//     bottom-right white  (255, 255, 255)
// A grey (128,128,128) vertical bar moves over it so that the clip has motion:
//     bar width   = BarWidth(width)  = max(1, width / 16)
//     bar columns = [BarX(n, width), BarX(n, width) + BarWidth(width)),
//                   with BarX(n, width) = (n % 16) * BarWidth(width) for frame n
//                   (frame 0 is the first frame; a still is frame 0)
//     bar rows    = [BarTop(height), BarBottom(height)) = [3h/8, 5h/8)
// The bar only covers the middle quarter of the rows, so the inner region of
// each quadrant (its central half in both directions, see QuadrantInner) is
// never touched by it: the mean colour of that region is the quadrant colour
// up to coding loss, at any size the clip is scaled to.
// Pictures are built in RGB24 and converted with libswscale using the BT.601
// matrix (limited range for yuv formats, full range for yuvj/mjpeg).
//
// Sound contract
// --------------
// A sine of toneHz at amplitude 0.5 of full scale, the same on every channel,
// starting at phase 0 on the first sample. The channel layout is the default
// one for the channel count (mono, stereo, ..., 5.1 for 6).
//
// Timing
// ------
// A clip holds round(durationSec * fps) video frames (pts 0, 1, 2, ... in
// units of 1/fps) and at least round(durationSec * sampleRate) decodable audio
// samples: the last audio frame is padded with more tone when the encoder
// needs whole frames. Containers that cannot mark the encoder's priming (ts,
// avi, flv, mpg, asf, mp3's frame count) report up to about two audio frames
// more than durationSec; elsewhere the duration is within a frame.
// Video has one keyframe per second (GOP of round(fps) frames); libx264 runs
// its "veryfast" preset, so H.264 clips have B-frames.
// Output is bit-exact: the same ClipSpec gives the same bytes on every run.
// While a clip is being made the libraries log errors only; the process's
// log level is restored afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testmedia {

struct ClipSpec {
  // "avi", "mp4", "mkv", "mpg" (MPEG-2 program stream), "flv", "asf" (alias
  // "wmv"; file extension .wmv), "3gp", "mov", "ts" (MPEG transport stream),
  // "ogg", "wav", "mp3", and the stills "png" and "jpg".
  //
  // Default encoders (empty videoCodec / audioCodec):
  //   avi  mpeg4      + libmp3lame     mp4  libx264 + aac
  //   mkv  libx264    + libvorbis      mpg  mpeg2video + mp2
  //   flv  flv        + libmp3lame     asf  wmv2 + wmav2
  //   3gp  h263 if the size is an H.263 picture size (128x96, 176x144,
  //        352x288, 704x576, 1408x1152), otherwise mpeg4; + aac
  //        (libavcodec has no AMR-NB encoder)
  //   mov  libx264    + aac            ts   libx264 + aac
  //   ogg  libtheora  + libvorbis
  //   wav  pcm_s16le  (audio only)     mp3  libmp3lame (audio only)
  //   png  png        (still only)     jpg  mjpeg (still only)
  // Audio-only containers ignore `video`; stills ignore `audio` and timing.
  std::string container = "mkv";
  // libavcodec encoder names ("libx264", "mpeg4", "aac", ...); empty = default.
  std::string videoCodec, audioCodec;
  int width = 320, height = 240;
  int fpsNum = 25, fpsDen = 1;  // 30000/1001 and friends are fine
  int sarNum = 0, sarDen = 1;   // sample aspect ratio; sarNum 0 = not set
  int sampleRate = 44100, channels = 2;
  double durationSec = 2.0;
  bool video = true, audio = true;
  double toneHz = 1000.0;
  int videoBitRate = 0, audioBitRate = 0;  // bit/s; 0 = a small sensible rate

  // Timestamps as other tools write them. The defaults give the well-behaved
  // clip described above; any other value writes the packets in the order
  // they were made (as a recorder does), not re-interleaved by timestamp.
  double videoStartSec = 0, audioStartSec = 0;  // first timestamp of each stream
  // Pictures from one key frame to the next; 0 = one per second, a negative
  // value = the first picture only.
  int keyFrameInterval = 0;
  // From media time jumpAtSec on, every timestamp of both streams is jumpSec
  // later (a capture whose clock jumped). 0 = no jump.
  double jumpAtSec = 0, jumpSec = 0;
  // > 0: every Nth picture (N, 2N, ...) carries the timestamp of the one
  // before it (the encoder then makes no B-frames). Needs a muxer that takes
  // equal timestamps (mkv, flv).
  int duplicateEvery = 0;

  // Pictures as other sources carry them; the defaults give the 8-bit
  // 4:2:0, upright, progressive, SDR clip described above. width x height
  // is the picture as it is shown.
  std::string pixelFormat;  // "yuv444p", "yuv422p", "yuv420p10le", ...; empty: the encoder's usual one
  // The stream's display matrix has players mirror the stored picture left
  // to right (mirrored) and then turn it rotation degrees clockwise (0, 90,
  // 180, 270): the picture is stored turned the other way, so that a player
  // that follows the matrix shows the pattern upright. 90 and 270 store
  // height x width.
  int rotation = 0;
  bool mirrored = false;
  bool interlaced = false;  // coded as interlaced, top field first
  // "pq": 10-bit BT.2020 with the PQ transfer (as phones record HDR), made
  // from the pattern taken as BT.709 at 100 cd/m2; empty: SDR as above.
  std::string transfer;
  // A fine texture over the pattern that drifts and flickers from picture
  // to picture: it costs the encoders about what camera footage does (the
  // flat pattern alone encodes several times faster). For benchmarks.
  bool texture = false;

  bool PlainPictures() const {
    return pixelFormat.empty() && rotation == 0 && !mirrored && !interlaced && transfer.empty() && !texture;
  }

  bool WellTimed() const {
    return videoStartSec == 0 && audioStartSec == 0 && keyFrameInterval == 0 && jumpSec == 0 && duplicateEvery == 0;
  }
};

// What a ClipSpec turns into once the defaults are applied.
struct ResolvedSpec {
  std::string muxer;      // libavformat muxer name; empty for stills
  std::string extension;  // with the dot: ".mkv", ".wmv", ...
  bool video = false, audio = false;
  bool still = false;
  std::string videoCodec;  // encoder name, empty when !video
  std::string audioCodec;  // encoder name, empty when !audio
};

// Applies the defaults; throws std::runtime_error for an unknown container
// or a ClipSpec that leaves nothing to write.
ResolvedSpec Resolve(const ClipSpec& spec);

// File extension (with the dot) for a container name; throws if unknown.
std::string ContainerExtension(const std::string& container);

// Writes the clip to path (the muxer follows ClipSpec::container, not the path's
// extension). Throws std::runtime_error with a clear message on failure, in
// which case nothing is left at path.
void MakeClip(const ClipSpec& spec, const std::string& path);

// Folder of cached clips: $VIDMILL_TEST_MEDIA_DIR if set and not empty, else
// "vidmill-test-media" under the system temp folder. Created if missing.
std::string MediaDir();

// Readable name that identifies every field of the ClipSpec (and the generator's
// version), without the extension. Distinct ClipSpecs give distinct keys.
std::string CacheKey(const ClipSpec& spec);

// Path of the clip for this ClipSpec in MediaDir(), generated on first use. Safe when
// several processes or threads ask for the same clip at once: each writes a
// private temp file in the same folder and renames it into place.
std::string CachedClip(const ClipSpec& spec);

// Bad inputs. All write to path (replacing it) and throw on failure.
void MakeEmptyFile(const std::string& path);
void MakeTextFile(const std::string& path, const std::string& text);
// Copies the first floor(fraction * size) bytes of src; fraction in [0, 1].
void MakeTruncatedCopy(const std::string& src, const std::string& dst, double fraction);

// A copy of the MP4 file src whose media data are all zeros: its header still
// describes every stream, but nothing in it decodes.
void MakeUndecodableCopy(const std::string& src, const std::string& dst);

// The corrupt-media corpus: damaged and misleading files made from small
// generated clips (nothing is committed). Each entry says what was done.
struct CorpusFile {
  std::string path;
  std::string description;
  // No reader can get any media out of it (empty, text): it must fail.
  bool unreadable = false;
};
// Writes the corpus into folder (created if missing; existing corpus files
// are replaced) and returns its files. Every file has a distinct stem, so a
// batch over the whole corpus plans distinct output names. The sources are
// CachedClip()s of 1 s, 160x120 (320x240 for the second transport stream)
// with the container's default codecs. Contents:
//   truncations of mp4, mkv, avi and ts clips at 10, 50 and 90 % of their size;
//   bit flips in the header area (first 512 bytes) and in the middle of
//   mp4, mkv, avi and ts clips (fixed positions: the bytes are the same every run);
//   a zero-length file, a text file with a media extension, an mp4 named .avi;
//   a wav whose RIFF and data sizes claim about 4 GB;
//   two transport streams of different frame sizes concatenated byte-wise.
//   Matroska files with one audio stream and 2000 or 998 subtitle streams.
std::vector<CorpusFile> MakeCorruptCorpus(const std::string& folder);

// ---- The picture contract as code, for tests that check decoded frames ----

struct Rgb {
  std::uint8_t r, g, b;
};
inline constexpr Rgb kTopLeft{255, 0, 0};
inline constexpr Rgb kTopRight{0, 255, 0};
inline constexpr Rgb kBottomLeft{0, 0, 255};
inline constexpr Rgb kBottomRight{255, 255, 255};
inline constexpr Rgb kBar{128, 128, 128};

constexpr int BarWidth(int width) { return width / 16 > 0 ? width / 16 : 1; }
constexpr int BarX(std::int64_t frame, int width) { return static_cast<int>(frame % 16) * BarWidth(width); }
constexpr int BarTop(int height) { return height * 3 / 8; }
constexpr int BarBottom(int height) { return height * 5 / 8; }

// Colour of pixel (x, y) of frame n of a width x height picture.
constexpr Rgb PatternPixel(int x, int y, std::int64_t frame, int width, int height) {
  const int bx = BarX(frame, width);
  if (y >= BarTop(height) && y < BarBottom(height) && x >= bx && x < bx + BarWidth(width)) return kBar;
  const bool right = x >= width / 2, bottom = y >= height / 2;
  if (!bottom) return right ? kTopRight : kTopLeft;
  return right ? kBottomRight : kBottomLeft;
}

enum class Quadrant { TopLeft, TopRight, BottomLeft, BottomRight };

struct Rect {
  int x, y, w, h;
};
// Central half (in both directions) of a quadrant of a width x height
// picture; never covered by the bar.
Rect QuadrantInner(Quadrant q, int width, int height);

struct MeanRgb {
  double r = 0, g = 0, b = 0;
};
// Mean colour of the inner region of quadrant q of an RGB24 picture.
MeanRgb QuadrantMean(const std::uint8_t* rgb24, int stride, int width, int height, Quadrant q);
// Largest per-channel difference between a measured mean and the reference.
double ColourDistance(const MeanRgb& measured, const Rgb& reference);

}  // namespace testmedia
