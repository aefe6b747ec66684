#pragma once
// The media probe: opens a media file with libavformat (or adopts a context
// opened elsewhere), reads its stream information and describes the file in
// records (TFileStreamInfo, TVideoStreamInfo), by stream kinds and counts,
// and in a multi-line information text.
//
// Failures never raise: the operations return their neutral value (-1,
// empty, false) and leave the text in LastErrMsg. The only exception is the
// library check at the start of LoadFile and Attach, which throws
// std::runtime_error ("LibAVCodec not loaded." and so on) when one of the
// libraries the probe calls is missing.
//
// A probe is used by one thread at a time.

#include <cstdint>
#include <string>

#include "runtime/Object.h"

struct AVFormatContext;
struct AVInputFormat;
struct AVCodecContext;
struct SwsContext;

// File-level facts. Times are in microseconds.
struct TFileStreamInfo {
  int64_t StartTime = -1;  // -1: unknown
  int64_t Duration = -1;   // -1: unknown
  int BitRate = 0;         // bit/s; 0 or less: unknown
  int64_t Timestamp = 0;   // Unix seconds (metadata "creation_time"); 0: unknown
  int Year = 0;            // metadata "date" or "year"; 0: unknown
  int Track = 0;           // metadata "track"; 0: unknown
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

// Facts about one video stream. Integers are -1 until filled.
struct TVideoStreamInfo {
  std::string Language;
  std::string CodecInfo;     // CodecNameText of the stream's codec (decoder side)
  int64_t StartTime = -1;    // in the stream's time base
  int64_t StartTimeUs = -1;  // microseconds; -1: unknown
  int64_t Duration = -1;     // in the stream's time base
  int64_t DurationUs = -1;   // microseconds; -1: unknown
  int BitRate = -1;
  int Height = -1;
  int Width = -1;
  float DisplayAspect = -1.0f;               // sample aspect ratio x width / height
  int PixelFormat = -1;                      // AVPixelFormat
  int FrameRateNum = -1, FrameRateDen = -1;  // the stream's real base frame rate
  // How the stored picture is shown: mirrored left to right first, then
  // turned Rotation degrees clockwise (a phone's recording). Width, Height
  // and DisplayAspect are the stored picture's.
  int Rotation = 0;
  bool Mirrored = false;
};

class TCustomAVProbe : public TObject {
 public:
  TCustomAVProbe();
  ~TCustomAVProbe() override;

  // Every owner enables its probe right after creating it; a probe that is
  // not enabled loads nothing.
  void Enable();
  bool Enabled() const { return FEnabled; }

  // Opens AFileName (forcing the input format AFormatName when not empty)
  // and reads its stream information. False with the reason in LastErrMsg.
  bool LoadFile(const std::u16string& AFileName, const std::string& AFormatName = std::string());
  // Adopts a context opened elsewhere (not owned: Close leaves it open);
  // nullptr just closes the current file.
  virtual void Attach(AVFormatContext* AContext);
  // Forgets the current file (closes it when the probe opened it).
  virtual void Close();

  bool GetFileStreamInfo(TFileStreamInfo& AInfo);
  // The first video stream.
  bool GetVideoStreamInfo(TVideoStreamInfo& AInfo);
  // A negative index selects the first video stream.
  bool GetVideoStreamInfoByIndex(int AIndex, TVideoStreamInfo& AInfo);

  bool IsAudioStream(int AIndex);
  bool IsVideoStream(int AIndex);
  bool IsSubtitleStream(int AIndex);

  // The context's file name, converted back from the form handed to the library.
  std::u16string FileName();
  int64_t FileSize();
  // The information text: one line per fact and per stream, every line
  // ending with CR LF.
  std::string InfoText();

  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioIndex() const { return FFirstAudioIndex; }
  int FirstVideoIndex() const { return FFirstVideoIndex; }
  int FirstSubtitleIndex() const { return FFirstSubtitleIndex; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  // The forced input format of the last successful LoadFile.
  const std::string& FormatName() const { return FFormatName; }
  AVFormatContext* FormatContext() const { return FFormatContext; }

 protected:
  AVFormatContext* FFormatContext = nullptr;
  bool FOwnsContext = false;
  std::string FLastErrMsg;
  std::string FFormatName;
  int FStreamCount = -1;
  int FProgramCount = -1;
  int FAudioStreamCount = -1;
  int FVideoStreamCount = -1;
  int FSubtitleStreamCount = -1;
  int FFirstAudioIndex = -1;
  int FFirstVideoIndex = -1;
  int FFirstSubtitleIndex = -1;
  bool FEnabled = false;

 private:
  void CheckLibraries() const;
  void CountStreams();
  void ResetCounts();
  bool CheckLoaded();
  bool CheckIndex(int AIndex);
  int StreamType(int AIndex);
  int64_t ContextFileSize() const;
  std::string StreamLine(int AIndex);
};

// The published probe. It also carries the (idle) state for decoding a video
// frame into pictures, which Close releases.
class TAVProbe : public TCustomAVProbe {
 public:
  TAVProbe() = default;
  ~TAVProbe() override;
  void Close() override;

 private:
  AVCodecContext* FPictureDecoder = nullptr;
  SwsContext* FPictureScaler = nullptr;
  uint8_t* FPictureBuffer = nullptr;  // av_malloc'd frame buffer
  bool FDecoderOpened = false;
  bool FPictureReady = false;
  int64_t FFirstPTS = -1;
  int64_t FLastPTS = -1;
  int64_t FSeekPTS = -1;
  int64_t FPictureNumber = 0;
  int FScaleMethod = 4;  // SWS_BICUBIC
};

// ---- Open errors ----
// FFmpeg 5.1 reports a failed avformat_open_input with AVERROR codes, while
// the open-error texts (OpenErrorText) are keyed by the codes of the older
// library generation. The mapping goes by meaning:
//   AVERROR(ENOENT), AVERROR_PROTOCOL_NOT_FOUND     -> -2  "no such file or directory"
//   AVERROR(EIO), AVERROR_EOF                        -> -5  "I/O error occurred ..."
//   AVERROR(ENOMEM)                                  -> -12 "memory allocation error occurred"
//   AVERROR_INVALIDDATA, AVERROR(EINVAL)             -> -22 "Error while parsing header"
//   AVERROR_INVALIDDATA when AFormatProbed           -> -42 "Unknown format"
//   AVERROR_DEMUXER_NOT_FOUND, AVERROR(EILSEQ)       -> -42 "Unknown format"
//   AVERROR(EDOM)                                    -> -33 "Incorrect image filename syntax ..."
//   anything else (EACCES, EISDIR, ...)              -> -1  "Error while opening file"
// AFormatProbed: no input format was forced and no demuxer recognises the
// content. FFmpeg 5.1 returns AVERROR_INVALIDDATA both when probing found no
// format and when the demuxer it found could not read the header (a text
// file named .avi even gets the avi demuxer on its extension alone), so the
// caller has to tell the two apart: see InputContentRecognised.
int LegacyOpenErrorCode(int AAVError, bool AFormatProbed);

// True when a demuxer recognises the content of the input ALibraryName (the
// text of ToLibraryFileName) by its first bytes, without regard to the name's
// extension. Also true when the content cannot be read back (a URL), so
// that the caller keeps the library's own verdict.
bool InputContentRecognised(const std::string& ALibraryName);

// The code for OpenErrorText of a failed open of ALibraryName with the
// forced format AFormat (nullptr: probed).
int InputOpenErrorCode(int AAVError, const AVInputFormat* AFormat, const std::string& ALibraryName);
