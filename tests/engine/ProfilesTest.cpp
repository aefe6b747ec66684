// The seven output profiles of the converter (3GP, MP4, AVI, VCD, DVD, FLV,
// WMV) end to end: an engine set up with named options only converts a
// generated clip, and the finished file is opened again and decoded to the
// end. Each output is checked for its container, codecs, picture size, rate
// and display aspect, the length of the requested recording time, and the
// picture itself: the quadrant colours of the test pattern at the output
// size, so that a black, garbled, mirrored or upside-down picture fails.
//
// How long a cut output lasts. Each output stream is cut at the recording
// time t on its own: a picture that would start at t or later is not
// encoded, nor is a sample past t. So a cut stream holds round(t * fps)
// pictures (one more or less where t falls between two) and t seconds of
// sound within one encoder frame, the last frame being padded to a whole
// one. The decoded sound also keeps the encoder's priming where the
// container cannot mark it (AVI, FLV and MPEG program streams: MP3 1105
// samples, AC-3 256, WMA 2048; MP4 and 3GP mark it).
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/lib/AVCodec.h"
#include "tests/engine/TranscodeTestSupport.h"
#include "tests/media/TestMedia.h"
#include "tests/support/RecordedLog.h"

using namespace transcodetest;

namespace {

constexpr double kToneRms = 0.5 / 1.4142135623730951;
constexpr int kResamplerSlack = 64;

// Largest per-channel difference of a quadrant's mean from its colour. Lossy
// coding keeps these flat areas within a few levels at the profiles' rates;
// a picture turned upside down or mirrored swaps colours (a distance of 255),
// and black or a green tint is 255 away in at least one quadrant.
constexpr double kPictureTolerance = 24.0;

// ---- Sources ----

// 640x480 at 29.97 frames/s with a stereo 44.1 kHz 1 kHz tone, H.264 and
// AAC in MP4, whose timestamps are exact: the sound's priming is marked, and
// the pictures follow each other without a gap (in AVI the MP3 priming
// shifts the pictures after the first by a tick). The demuxer hands over
// the sound 1024 samples a packet; the H.264 decoder gives out its
// pictures two late (B-frames), and the drain at the end of the run
// encodes those two as well.
testmedia::ClipSpec SourceSpec(double ADuration) {
  testmedia::ClipSpec clip;
  clip.container = "mp4";
  clip.width = 640;
  clip.height = 480;
  clip.fpsNum = 30000;
  clip.fpsDen = 1001;
  clip.durationSec = ADuration;
  clip.sampleRate = 44100;
  clip.channels = 2;
  clip.toneHz = 1000.0;
  return clip;
}

std::string Source(double ADuration = 5.0) { return testmedia::CachedClip(SourceSpec(ADuration)); }

// The same picture without sound as MPEG-4 in AVI: no B-frames, so its
// decoder holds no picture back.
std::string VideoOnlySource() {
  testmedia::ClipSpec clip = SourceSpec(2.0);
  clip.container = "avi";
  clip.audio = false;
  return testmedia::CachedClip(clip);
}

// 16-bit PCM in WAV, read 1024 samples (4096 bytes) a packet.
std::string AudioOnlySource() {
  testmedia::ClipSpec clip = SourceSpec(2.0);
  clip.container = "wav";
  clip.video = false;
  return testmedia::CachedClip(clip);
}

// ---- Helpers ----

std::string ReadAll(const std::string& APath) {
  std::ifstream file(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Streams of a type that carry something. The MPEG program-stream demuxer
// may report a stream of no channels when a pure tone's AC-3 payload happens
// to look like an audio start code; such a phantom is not counted.
int CountOf(const TDecodedFile& AFile, AVMediaType AType) {
  return static_cast<int>(std::count_if(AFile.Streams.begin(), AFile.Streams.end(), [AType](const TDecodedStream& s) {
    return s.Type == AType && !(AType == AVMEDIA_TYPE_AUDIO && s.Channels == 0 && s.Samples == 0);
  }));
}
int PhantomAudioStreams(const TDecodedFile& AFile) {
  return static_cast<int>(std::count_if(AFile.Streams.begin(), AFile.Streams.end(), [](const TDecodedStream& s) {
    return s.Type == AVMEDIA_TYPE_AUDIO && s.Channels == 0 && s.Samples == 0;
  }));
}

// The picture from the middle of the output shows the test pattern at the
// output size: each quadrant's inner region has the quadrant's colour.
void ExpectPattern(const TDecodedStream& AVideo) {
  ASSERT_EQ(AVideo.Middle.Width, AVideo.Width);
  ASSERT_EQ(AVideo.Middle.Height, AVideo.Height);
  ExpectQuadrants(AVideo.Middle, {0, 0, AVideo.Width, AVideo.Height},
                  "picture " + std::to_string(AVideo.MiddleFrame) + " of " + std::to_string(AVideo.Frames),
                  kPictureTolerance);
}

bool SameRate(AVRational A, AVRational B) {
  return A.den != 0 && B.den != 0 && static_cast<int64_t>(A.num) * B.den == static_cast<int64_t>(B.num) * A.den;
}

// ---- The profiles ----

struct TProfile {
  const char* Name;
  TOptionList Options;  // as the converter gives them; the tests add "t"
  const char* File;
  const char* Demuxer;  // the demuxer that reads the output back
  AVCodecID VideoCodec;
  int Width, Height;
  AVRational Rate;
  double Aspect;  // display aspect of a 4:3 source's picture
  AVCodecID AudioCodec;
  int SampleRate, Channels;
  int AudioFrame;            // samples per frame of the encoder
  int AudioPriming;          // priming samples the decoder still sees
  bool DetectsNorm = false;  // needs a video source to choose the norm
  // With sound, the pictures after the first are a tick late: the muxer
  // moves every stream later to make room for the sound's priming, but an
  // AVI chunk is one tick and the first chunk is always tick 0.
  bool PrimingHole = false;
};

void PrintTo(const TProfile& AProfile, std::ostream* AStream) { *AStream << AProfile.Name; }

bool StartsWith(const char* AText, const char* APrefix) { return std::string(AText).rfind(APrefix, 0) == 0; }

const std::vector<TProfile>& AllProfiles() {
  static const std::vector<TProfile> profiles = {
      // The container's default codecs: H.263 and AMR-NB.
      {"3GP",
       {{"s", "128x96"}, {"ar", "8000"}, {"ac", "1"}, {"ab", "7400"}},
       "out.3gp",
       "mov,mp4,m4a,3gp,3g2,mj2",
       AV_CODEC_ID_H263,
       128,
       96,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_AMR_NB,
       8000,
       1,
       160,
       0},
      {"3GPNamedCodecs",
       {{"vcodec", "h263"}, {"acodec", "amr_nb"}, {"s", "128x96"}, {"ar", "8000"}, {"ac", "1"}, {"ab", "7400"}},
       "out.3gp",
       "mov,mp4,m4a,3gp,3g2,mj2",
       AV_CODEC_ID_H263,
       128,
       96,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_AMR_NB,
       8000,
       1,
       160,
       0},
      {"MP4",
       {},
       "out.mp4",
       "mov,mp4,m4a,3gp,3g2,mj2",
       AV_CODEC_ID_H264,
       640,
       480,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_AAC,
       44100,
       2,
       1024,
       0},
      {"AVI",
       {},
       "out.avi",
       "avi",
       AV_CODEC_ID_MPEG4,
       640,
       480,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_MP3,
       44100,
       2,
       1152,
       1105,
       false,
       true},
      {"VCDPal",
       {{"target", "pal-vcd"}},
       "out.mpg",
       "mpeg",
       AV_CODEC_ID_MPEG1VIDEO,
       352,
       288,
       {25, 1},
       4.0 / 3,
       AV_CODEC_ID_MP2,
       44100,
       2,
       1152,
       0},
      {"VCDNtsc",
       {{"target", "ntsc-vcd"}},
       "out.mpg",
       "mpeg",
       AV_CODEC_ID_MPEG1VIDEO,
       352,
       240,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_MP2,
       44100,
       2,
       1152,
       0},
      // The norm of the 29.97 frames/s source: NTSC.
      {"VCDAutoNorm",
       {{"target", "vcd"}},
       "out.mpg",
       "mpeg",
       AV_CODEC_ID_MPEG1VIDEO,
       352,
       240,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_MP2,
       44100,
       2,
       1152,
       0,
       true},
      // The source's 4:3 stays: the target's 16:9 is only a default for
      // when no input has given an aspect (see ProfileAspect below).
      {"DVDPal",
       {{"target", "pal-dvd"}},
       "out.vob",
       "mpeg",
       AV_CODEC_ID_MPEG2VIDEO,
       720,
       576,
       {25, 1},
       4.0 / 3,
       AV_CODEC_ID_AC3,
       48000,
       2,
       1536,
       256},
      {"DVDNtsc",
       {{"target", "ntsc-dvd"}},
       "out.vob",
       "mpeg",
       AV_CODEC_ID_MPEG2VIDEO,
       720,
       480,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_AC3,
       48000,
       2,
       1536,
       256},
      {"FLV",
       {{"ar", "22050"}},
       "out.flv",
       "flv",
       AV_CODEC_ID_FLV1,
       640,
       480,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_MP3,
       22050,
       2,
       576,
       1105},
      {"WMV",
       {{"vcodec", "wmv2"}, {"acodec", "wmav2"}},
       "out.wmv",
       "asf",
       AV_CODEC_ID_WMV2,
       640,
       480,
       {30000, 1001},
       4.0 / 3,
       AV_CODEC_ID_WMAV2,
       44100,
       2,
       2048,
       2048},
  };
  return profiles;
}

std::vector<TProfile> ProfilesWithoutNormDetection() {
  std::vector<TProfile> profiles;
  for (const TProfile& p : AllProfiles())
    if (!p.DetectsNorm) profiles.push_back(p);
  return profiles;
}

std::string ProfileName(const ::testing::TestParamInfo<TProfile>& AInfo) { return AInfo.param.Name; }

double FramesPerSecond(const TProfile& AProfile) { return static_cast<double>(AProfile.Rate.num) / AProfile.Rate.den; }

// The file's first bytes show the muxer that wrote it.
void ExpectContainer(const TProfile& AProfile, const std::string& APath, const TDecodedFile& AFile) {
  EXPECT_EQ(AFile.FormatName, AProfile.Demuxer);
  const std::string bytes = ReadAll(APath);
  ASSERT_GE(bytes.size(), 16u);
  if (StartsWith(AProfile.Name, "3GP")) {
    // An ISO file whose major brand is a 3GPP one ("3gp4", "3gp5", ...).
    EXPECT_EQ(bytes.substr(4, 4), "ftyp");
    EXPECT_EQ(bytes.substr(8, 3), "3gp") << "major brand " << bytes.substr(8, 4);
  } else if (StartsWith(AProfile.Name, "MP4")) {
    EXPECT_EQ(bytes.substr(4, 4), "ftyp");
    EXPECT_EQ(bytes.substr(8, 4), "isom") << "major brand";
  } else if (StartsWith(AProfile.Name, "VCD") || StartsWith(AProfile.Name, "DVD")) {
    // A pack header: an MPEG-1 system stream for VCD ("0010" after the start
    // code), an MPEG-2 program stream for DVD ("01"), in packs of the
    // target's packet size.
    const bool vcd = StartsWith(AProfile.Name, "VCD");
    const std::string pack = std::string("\x00\x00\x01\xba", 4);
    EXPECT_EQ(bytes.substr(0, 4), pack);
    if (vcd)
      EXPECT_EQ(static_cast<unsigned char>(bytes[4]) & 0xf0, 0x20) << "MPEG-1 pack header";
    else
      EXPECT_EQ(static_cast<unsigned char>(bytes[4]) & 0xc0, 0x40) << "MPEG-2 pack header";
    // Every sector begins with a pack, or is one of the all-zero padding
    // sectors that keep a VCD's constant rate.
    const size_t size = vcd ? 2324 : 2048;
    EXPECT_EQ(bytes.size() % size, 0u) << bytes.size() << " bytes in sectors of " << size;
    size_t packs = 0;
    for (size_t at = 0; at + size <= bytes.size(); at += size) {
      if (bytes.compare(at, 4, pack) == 0) {
        ++packs;
        continue;
      }
      const bool zero = vcd && bytes.find_first_not_of('\0', at) >= at + size;
      EXPECT_TRUE(zero) << "sector at " << at << " is neither a pack nor padding";
      if (!zero) break;
    }
    EXPECT_GT(packs, 1u);
  }
}

// Codec, size, rate, aspect, a clean decode and the picture of a video
// stream made by AProfile; AHoles: ticks missing between the pictures.
void ExpectProfileVideo(const TProfile& AProfile, const TDecodedFile& AFile, const TDecodedStream& AVideo,
                        int AHoles = 0) {
  EXPECT_EQ(AVideo.CodecId, AProfile.VideoCodec) << lib::avcodec_get_name(AVideo.CodecId);
  EXPECT_TRUE(AVideo.DecoderOpened);
  EXPECT_EQ(AVideo.DecodeErrors, 0);
  // Every picture written is shown: none falls outside the container's
  // idea of the stream's length.
  EXPECT_EQ(AVideo.Frames, AVideo.Packets);
  EXPECT_EQ(AVideo.Width, AProfile.Width);
  EXPECT_EQ(AVideo.Height, AProfile.Height);
  EXPECT_TRUE(SameRate(AVideo.FrameRate, AProfile.Rate)) << AVideo.FrameRate.num << "/" << AVideo.FrameRate.den;
  EXPECT_TRUE(SameRate(AFile.ProbeFrameRate, AProfile.Rate))
      << "probe: " << AFile.ProbeFrameRate.num << "/" << AFile.ProbeFrameRate.den;
  EXPECT_NEAR(AVideo.DisplayAspect(), AProfile.Aspect, AProfile.Aspect * 0.01)
      << "sample aspect " << AVideo.SampleAspect.num << ":" << AVideo.SampleAspect.den;
  EXPECT_NEAR(AFile.ProbeDisplayAspect, AProfile.Aspect, AProfile.Aspect * 0.01) << "probe";
  // Evenly spaced pictures at the output rate.
  const double fps = FramesPerSecond(AProfile);
  ASSERT_GE(AVideo.FirstTimedFrame, 0) << "no picture has a time";
  EXPECT_LE(AVideo.FirstTimedFrame, 1);
  EXPECT_GE(AVideo.LastTimedFrame, AVideo.Frames - 2);
  EXPECT_NEAR((AVideo.LastFrameTimeUs - AVideo.FirstFrameTimeUs) / 1e6,
              (AVideo.LastTimedFrame - AVideo.FirstTimedFrame + AHoles) / fps, 0.5 / fps)
      << "pictures " << AVideo.FirstTimedFrame << " .. " << AVideo.LastTimedFrame << " at " << AVideo.FirstFrameTimeUs
      << " .. " << AVideo.LastFrameTimeUs << " us";
  ExpectPattern(AVideo);
}

void ExpectProfileAudio(const TProfile& AProfile, const TDecodedStream& AAudio) {
  EXPECT_EQ(AAudio.CodecId, AProfile.AudioCodec) << lib::avcodec_get_name(AAudio.CodecId);
  EXPECT_TRUE(AAudio.DecoderOpened);
  EXPECT_EQ(AAudio.DecodeErrors, 0);
  EXPECT_EQ(AAudio.FormatChanges, 0);
  EXPECT_EQ(AAudio.SampleRate, AProfile.SampleRate);
  EXPECT_EQ(AAudio.Channels, AProfile.Channels);
  EXPECT_NEAR(AAudio.ToneHz, 1000.0, 10.0);
  // AMR-NB is a speech codec: it keeps a pure tone's level only roughly.
  EXPECT_NEAR(AAudio.Rms, kToneRms, kToneRms * (AProfile.AudioCodec == AV_CODEC_ID_AMR_NB ? 0.4 : 0.15));
}

// The length of a cut sound: within one encoder frame of t, plus the
// priming that the container cannot mark and what the resampler keeps.
void ExpectAudioLength(const TProfile& AProfile, const TDecodedStream& AAudio, double ATime) {
  const double frame = static_cast<double>(AProfile.AudioFrame) / AProfile.SampleRate;
  const double resampler =
      (AProfile.SampleRate != 44100 ? kResamplerSlack : 0) / static_cast<double>(AProfile.SampleRate);
  const double priming = static_cast<double>(AProfile.AudioPriming) / AProfile.SampleRate;
  EXPECT_GE(AAudio.Seconds(), ATime - frame - resampler) << AAudio.Samples << " samples";
  EXPECT_LE(AAudio.Seconds(), ATime + frame + priming + resampler) << AAudio.Samples << " samples";
}

// Converts ASource with AProfile cut at ATime (given as AText) and checks
// the output: its container, a picture stream when AVideo (cut within a
// picture) and a sound stream when AAudio.
void ExpectCut(const TProfile& AProfile, const std::string& ASource, const char* ATime, bool AVideo, bool AAudio) {
  const TProfile& p = AProfile;
  const double t = std::stod(ATime);
  TTempFolder dir;
  TOptionList options = p.Options;
  options.push_back({"t", ATime});
  const TDecodedFile output = Convert(dir, ASource, options, p.File);
  ASSERT_TRUE(output.Opened) << output.Error;
  EXPECT_TRUE(output.ProbeLoaded) << output.ProbeError;
  EXPECT_EQ(output.ProbeVideoStreams, AVideo ? 1 : 0);
  EXPECT_EQ(output.ProbeAudioStreams - (AAudio ? PhantomAudioStreams(output) : 0), AAudio ? 1 : 0);
  EXPECT_EQ(CountOf(output, AVMEDIA_TYPE_VIDEO), AVideo ? 1 : 0);
  EXPECT_EQ(CountOf(output, AVMEDIA_TYPE_AUDIO), AAudio ? 1 : 0);
  ExpectContainer(p, dir / p.File, output);
  if (AVideo) {
    ASSERT_NE(output.Video(), nullptr);
    ExpectProfileVideo(p, output, *output.Video(), AAudio && p.PrimingHole ? 1 : 0);
    EXPECT_NEAR(output.Video()->Frames, std::round(t * FramesPerSecond(p)), 1);
  }
  if (AAudio) {
    ASSERT_NE(output.Audio(), nullptr);
    ExpectProfileAudio(p, *output.Audio());
    ExpectAudioLength(p, *output.Audio(), t);
  }
}

class Profiles : public ::testing::TestWithParam<TProfile> {};
class ProfilesVideoOnly : public ::testing::TestWithParam<TProfile> {};
class ProfilesAudioOnly : public ::testing::TestWithParam<TProfile> {};

// A 5 s source cut at 4 s.
TEST_P(Profiles, SoundAndPictureCutToTheRecordingTime) { ExpectCut(GetParam(), Source(), "4", true, true); }

// A 2 s source without sound cut at 1.5 s: no stream to wait for, so the
// cut is exact to a picture.
TEST_P(ProfilesVideoOnly, PictureCutToTheRecordingTime) {
  ExpectCut(GetParam(), VideoOnlySource(), "1.5", true, false);
}

// A 2 s WAV cut at 1.5 s. The VCD and DVD targets are given their norm:
// without a picture there is no rate to choose it from.
TEST_P(ProfilesAudioOnly, SoundCutToTheRecordingTime) { ExpectCut(GetParam(), AudioOnlySource(), "1.5", false, true); }

INSTANTIATE_TEST_SUITE_P(Engine, Profiles, ::testing::ValuesIn(AllProfiles()), ProfileName);
INSTANTIATE_TEST_SUITE_P(Engine, ProfilesVideoOnly, ::testing::ValuesIn(AllProfiles()), ProfileName);
INSTANTIATE_TEST_SUITE_P(Engine, ProfilesAudioOnly, ::testing::ValuesIn(ProfilesWithoutNormDetection()), ProfileName);

// ---- Other sizes, rates and aspects ----

const TProfile& Profile(const std::string& AName) {
  for (const TProfile& p : AllProfiles())
    if (AName == p.Name) return p;
  throw std::runtime_error("no profile " + AName);
}

// "s" and "r" as the converter gives them for a smaller picture: QCIF at
// 15 frames/s (every other source picture). The picture-only source cuts
// exactly; with sound the pictures run on as in the profiles above.
TEST(ProfileSizeAndRate, QcifAtFifteenFramesPerSecond) {
  for (const char* name : {"MP4", "AVI", "FLV", "3GP"}) {
    SCOPED_TRACE(name);
    TProfile p = Profile(name);
    p.Width = 176;
    p.Height = 144;
    p.Rate = {15, 1};
    // The 4:3 picture needs 12:11 pixels at this size. Neither FLV nor its
    // Sorenson H.263 can say so: the file shows square pixels.
    if (p.VideoCodec == AV_CODEC_ID_FLV1) p.Aspect = 176.0 / 144;
    p.Options.push_back({"s", "176x144"});  // the 3GP profile's 128x96 gives way to the later "s"
    p.Options.push_back({"r", "15"});
    ExpectCut(p, VideoOnlySource(), "1.2", true, false);
    ExpectCut(p, Source(), "4", true, true);
  }
}

// The DVD target's 16:9 is a default for when nothing has set an aspect:
// opening a picture source sets the source's. So a 4:3 source stays 4:3
// (see the profiles), a 16:9 one stays 16:9, and "aspect" overrides both.
TEST(ProfileAspect, DvdTakesTheSourcesAspectOrTheGivenOne) {
  testmedia::ClipSpec wide = SourceSpec(1.0);
  wide.container = "avi";
  wide.audio = false;
  wide.sarNum = 4;  // 640x480 pixels shown at 16:9
  wide.sarDen = 3;
  struct TCase {
    const char* Name;
    std::string Source;
    TOptionList Options;
    double Aspect;
  };
  const TCase cases[] = {
      {"wide source", testmedia::CachedClip(wide), {{"target", "pal-dvd"}}, 16.0 / 9},
      {"4:3 source given 16:9", VideoOnlySource(), {{"target", "pal-dvd"}, {"aspect", "16:9"}}, 16.0 / 9},
      {"wide source given 4:3", testmedia::CachedClip(wide), {{"target", "ntsc-dvd"}, {"aspect", "4:3"}}, 4.0 / 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TProfile p = Profile(StartsWith(c.Options[0].second.c_str(), "pal") ? "DVDPal" : "DVDNtsc");
    p.Aspect = c.Aspect;
    p.Options = c.Options;
    ExpectCut(p, c.Source, "0.5", true, false);
  }
}

// ---- Bit rate ----

// The test picture is flat and cheap to code: at a variable rate every
// encoder stays far below a few hundred kbit/s whatever it is asked for.
// A constant rate (minimum = maximum, the encoder stuffs what the picture
// does not need) shows that the rate reaches the encoder: the VCD target's
// own 1150 kbit/s, and 600 kbit/s given as "b" or "vb" with "minrate" and
// "maxrate". Measured over the video packets and the pictures' duration.
TEST(ProfileBitRate, ConstantRatesLandNearTheirTarget) {
  struct TCase {
    const char* Profile;
    TOptionList Options;
    double BitRate;
  };
  const TCase cases[] = {
      {"VCDPal", {}, 1150000},
      {"AVI", {{"b", "600k"}, {"minrate", "600k"}, {"maxrate", "600k"}, {"bufsize", "1200k"}}, 600000},
      {"DVDPal", {{"vb", "600000"}, {"minrate", "600000"}, {"maxrate", "600000"}, {"bufsize", "1200000"}}, 600000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Profile);
    const TProfile& p = Profile(c.Profile);
    TOptionList options = p.Options;
    options.insert(options.end(), c.Options.begin(), c.Options.end());
    TTempFolder dir;
    const TDecodedFile output = Convert(dir, Source(), options, p.File);
    ASSERT_TRUE(output.Opened) << output.Error;
    const TDecodedStream* video = output.Video();
    ASSERT_NE(video, nullptr);
    ASSERT_GT(video->Frames, 100);
    const double bitRate = video->PacketBytes * 8.0 / (video->Frames / FramesPerSecond(p));
    EXPECT_NEAR(bitRate, c.BitRate, c.BitRate * 0.35);
  }
}

// ---- The last picture and a still ----

// MP4 keeps an edit list: a picture whose packet has no duration ends the
// stream at its own start, and players skip it. From the AVI source (whose
// pictures the decoder gives out at once) the last picture of the cut is
// the one that would go.
TEST(ProfileLastPicture, Mp4ShowsEveryPictureWritten) {
  testmedia::ClipSpec clip = SourceSpec(5.0);
  clip.container = "avi";
  TTempFolder dir;
  const TDecodedFile output = Convert(dir, testmedia::CachedClip(clip), {{"t", "4"}}, "out.mp4");
  ASSERT_TRUE(output.Opened) << output.Error;
  const TDecodedStream* video = output.Video();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->CodecId, AV_CODEC_ID_H264);
  EXPECT_GE(video->Frames, 120);
  EXPECT_EQ(video->Frames, video->Packets);
}

// A PNG picture into MP4: a short H.264 stream that shows it.
TEST(ProfileStill, PngIntoMp4) {
  testmedia::ClipSpec still = SourceSpec(1.0);
  still.container = "png";
  TTempFolder dir;
  const TDecodedFile output = Convert(dir, testmedia::CachedClip(still), {}, "still.mp4");
  ASSERT_TRUE(output.Opened) << output.Error;
  EXPECT_TRUE(output.ProbeLoaded) << output.ProbeError;
  EXPECT_EQ(output.ProbeVideoStreams, 1);
  EXPECT_EQ(output.ProbeAudioStreams, 0);
  EXPECT_EQ(output.FormatName, "mov,mp4,m4a,3gp,3g2,mj2");
  const TDecodedStream* video = output.Video();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->CodecId, AV_CODEC_ID_H264);
  EXPECT_EQ(video->DecodeErrors, 0);
  EXPECT_EQ(video->Width, 640);
  EXPECT_EQ(video->Height, 480);
  EXPECT_GE(video->Frames, 1);
  EXPECT_LE(video->Frames, 3);
  EXPECT_EQ(video->Frames, video->Packets) << "a picture the container gives no time is not shown";
  ExpectPattern(*video);
}

// ---- Sources beyond what a profile's encoder takes ----

// Sound alone, 2 s of the tone in 16-bit PCM WAV.
std::string SoundSource(int ARate, int AChannels) {
  testmedia::ClipSpec clip = SourceSpec(2.0);
  clip.container = "wav";
  clip.video = false;
  clip.sampleRate = ARate;
  clip.channels = AChannels;
  return testmedia::CachedClip(clip);
}

// The recorded lines that tell of an adjustment.
std::string AdjustmentLines() {
  std::string lines;
  for (const TRecordedLine& line : LogLines())
    if (line.Text.find("the encoder gets") != std::string::npos) lines += line.Text + "\n";
  return lines;
}

// The log carries ALine once at the info level or, when ALine is empty, no
// adjustment at all.
void ExpectAdjustmentLogged(const std::string& ALine) {
  if (ALine.empty()) {
    EXPECT_EQ(LinesContaining("the encoder gets"), 0) << AdjustmentLines();
  } else {
    EXPECT_EQ(LinesContaining(ALine), 1) << "the adjustment is logged once\n" << AdjustmentLines();
    EXPECT_TRUE(Logged(llInfo, ALine));
  }
}

// Converts ASource with the profile cut at 1.5 s; the sound must decode
// whole with AChannels at ARate, and the log must tell of ALine's adjustment
// (see ExpectAdjustmentLogged).
void ExpectSoundFitted(const char* AProfile, const std::string& ASource, int AChannels, int ARate,
                       const std::string& ALine) {
  SCOPED_TRACE(AProfile);
  const TProfile& p = Profile(AProfile);
  TTempFolder dir;
  TOptionList options = p.Options;
  options.push_back({"t", "1.5"});
  ClearLogLines();
  const TDecodedFile output = Convert(dir, ASource, options, p.File);
  ASSERT_TRUE(output.Opened) << output.Error;
  ASSERT_NE(output.Audio(), nullptr);
  const TDecodedStream& audio = *output.Audio();
  EXPECT_EQ(audio.CodecId, p.AudioCodec) << lib::avcodec_get_name(audio.CodecId);
  EXPECT_EQ(audio.DecodeErrors, 0);
  EXPECT_EQ(audio.FormatChanges, 0);
  EXPECT_EQ(audio.Channels, AChannels);
  EXPECT_EQ(audio.SampleRate, ARate);
  EXPECT_NEAR(audio.ToneHz, 1000.0, 10.0);
  EXPECT_GT(audio.Rms, 0.1) << "the downmix carries the tone";
  TProfile fitted = p;
  fitted.SampleRate = ARate;
  ExpectAudioLength(fitted, audio, 1.5);
  ExpectAdjustmentLogged(ALine);
}

// Six channels at 48 kHz into each profile (VCD and DVD with their norm:
// sound alone cannot choose it). MP3 and WMA take two channels, so the
// sound is downmixed; AAC and AC-3 take all six; 3GP and VCD ask for one
// and two themselves.
TEST(ProfileEncoderLimits, SixChannelSoundIntoEachProfile) {
  const std::string source = SoundSource(48000, 6);
  const std::string mp3 =
      "Output stream #0.0 (libmp3lame): the source has 6 channels (5.1), the encoder gets 2 "
      "(stereo).";
  ExpectSoundFitted("3GP", source, 1, 8000, "");
  ExpectSoundFitted("MP4", source, 6, 48000, "");
  ExpectSoundFitted("AVI", source, 2, 48000, mp3);
  ExpectSoundFitted("VCDPal", source, 2, 44100, "");
  ExpectSoundFitted("DVDPal", source, 6, 48000, "");
  ExpectSoundFitted("FLV", source, 2, 22050, mp3);
  ExpectSoundFitted("WMV", source, 2, 48000,
                    "Output stream #0.0 (wmav2): the source has 6 channels (5.1), the encoder gets 2 (stereo).");
}

// 96 kHz: MP3 has no such rate and takes the nearest, 48 kHz; the FLV
// profile asks for 22.05 kHz itself.
TEST(ProfileEncoderLimits, NinetySixKilohertzIntoAviAndFlv) {
  const std::string source = SoundSource(96000, 2);
  ExpectSoundFitted("AVI", source, 2, 48000,
                    "Output stream #0.0 (libmp3lame): the source has 96000 Hz, the encoder gets 48000 Hz.");
  ExpectSoundFitted("FLV", source, 2, 22050, "");
}

// A 401x301 source: H.264 and WMV2 need even dimensions and get 400x300,
// scaled; MPEG-4 and Sorenson H.263 take the odd size as it is.
TEST(ProfileEncoderLimits, AnOddSizedSourceIntoMp4AviFlvAndWmv) {
  testmedia::ClipSpec clip = SourceSpec(2.0);
  clip.container = "avi";
  clip.width = 401;
  clip.height = 301;
  clip.fpsNum = 25;
  clip.fpsDen = 1;
  const std::string source = testmedia::CachedClip(clip);
  struct TRow {
    const char* Profile;
    int Width, Height;
    const char* Line;
  };
  const TRow rows[] = {
      {"MP4", 400, 300,
       "Output stream #0.0 (libx264): the source is 401x301, the encoder gets 400x300 (it needs even dimensions)."},
      {"AVI", 401, 301, ""},
      {"FLV", 401, 301, ""},
      {"WMV", 400, 300,
       "Output stream #0.0 (wmv2): the source is 401x301, the encoder gets 400x300 (it needs even dimensions)."},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Profile);
    const TProfile& p = Profile(row.Profile);
    TTempFolder dir;
    TOptionList options = p.Options;
    options.push_back({"t", "1.5"});
    ClearLogLines();
    const TDecodedFile output = Convert(dir, source, options, p.File);
    ASSERT_TRUE(output.Opened) << output.Error;
    const TDecodedStream* video = output.Video();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->CodecId, p.VideoCodec);
    EXPECT_EQ(video->DecodeErrors, 0);
    EXPECT_EQ(video->Width, row.Width);
    EXPECT_EQ(video->Height, row.Height);
    EXPECT_NEAR(video->Frames, 1.5 * 25, 1);
    EXPECT_NEAR(video->DisplayAspect(), 401.0 / 301, 401.0 / 301 * 0.01);
    ExpectPattern(*video);
    ASSERT_NE(output.Audio(), nullptr);
    EXPECT_EQ(output.Audio()->DecodeErrors, 0);
    ExpectAdjustmentLogged(row.Line);
  }
}

// A size that was given keeps its check: nothing rounds it.
TEST(ProfileEncoderLimits, AnOddGivenSizeIsStillRefused) {
  TConversion conversion;
  ASSERT_TRUE(conversion.AddInput({}, Source(2.0)));
  EXPECT_EQ(RaisedBy([&] { conversion.Engine().SetOption("s", "351x288"); }), "Frame size must be a multiple of 2");
}

}  // namespace
