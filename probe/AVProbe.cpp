#include "probe/AVProbe.h"
#include "probe/PictureTurn.h"
#include "probe/StreamTimeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/OptionContexts.h"
#include "runtime/Text.h"
#include "runtime/Threads.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AVCodec.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/AVUtil.h"
#include "runtime/lib/SwScale.h"

namespace {

constexpr const char* kFileNotLoaded = "file not loaded.";
constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

void LibraryLog(int ALevel, const std::string& AText) {
  if (lib::av_log) lib::av_log(nullptr, ALevel, "%s\n", AText.c_str());
}

int64_t KnownOr(int64_t AValue, int64_t AUnknown = -1) { return AValue == AV_NOPTS_VALUE ? AUnknown : AValue; }

int ClampToInt(int64_t AValue) { return static_cast<int>(Clamp<int64_t>(AValue, INT_MIN, INT_MAX)); }

int64_t ToMicroseconds(int64_t AValue, AVRational ATimeBase) {
  if (AValue == AV_NOPTS_VALUE) return -1;
  return lib::av_rescale_q(AValue, ATimeBase, kMicroseconds);
}

// The stream's time base, repaired in place: a zero denominator becomes
// the numerator, and a still zero one becomes 1.
AVRational RepairTimeBase(AVStream* AStream) {
  if (AStream->time_base.den == 0) AStream->time_base.den = AStream->time_base.num;
  if (AStream->time_base.den == 0) AStream->time_base.den = 1;
  return AStream->time_base;
}

// "S.UUUUUU": whole seconds, then the remainder in microseconds.
std::string SecondsText(int64_t AMicroseconds) {
  const char* sign = AMicroseconds < 0 ? "-" : "";
  // Negative start times (edit lists, priming) keep the sign in front.
  uint64_t magnitude = AMicroseconds < 0 ? 0 - static_cast<uint64_t>(AMicroseconds) : AMicroseconds;
  return Format("%s%llu.%.6llu", sign, static_cast<unsigned long long>(magnitude / 1000000),
                static_cast<unsigned long long>(magnitude % 1000000));
}

// A number with a fixed count of decimals, independent of the locale's
// decimal separator.
std::string FixedText(double AValue, int ADecimals) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::fixed, ADecimals);
  return std::string(buffer, result.ptr);
}

// ", 29.97 tbr", ", 25 tbr", ", 90k tbn".
void AppendRate(std::string& ALine, double AValue, const char* AName) {
  int64_t hundredths = RoundHalfEven(static_cast<long double>(AValue) * 100);
  if (hundredths % 100 != 0)
    ALine += ", " + FixedText(AValue, 2) + " " + AName;
  else if (hundredths % 100000 != 0)
    ALine += ", " + FixedText(AValue, 0) + " " + AName;
  else
    ALine += ", " + FixedText(AValue / 1000, 0) + "k " + AName;
}

std::string Metadata(const AVDictionary* ADictionary, const char* AKey) {
  return ADictionary ? MetadataValue(ADictionary, AKey, std::string()) : std::string();
}

// The codec description of the library (avcodec_string) for a stream's
// parameters: it needs a codec context, so a temporary one is made.
std::string CodecDescription(const AVCodecParameters* AParameters) {
  AVCodecContext* context = lib::avcodec_alloc_context3(nullptr);
  if (context == nullptr) return std::string();
  std::string text;
  if (lib::avcodec_parameters_to_context(context, AParameters) >= 0) {
    char buffer[256] = {};
    lib::avcodec_string(buffer, sizeof buffer, context, 0);
    text = buffer;
  }
  lib::avcodec_free_context(&context);
  return text;
}

// "yyyy-mm-dd hh:nn:ss" of the local date-time of Unix seconds (the zone's
// current offset, as UnixToLocalDateTime applies it).
std::string LocalDateTimeText(int64_t AUnixSeconds) {
  double local = UnixToLocalDateTime(AUnixSeconds);
  auto seconds = static_cast<time_t>(std::llround((local - 25569.0) * 86400.0));
  struct tm parts {};
  if (gmtime_r(&seconds, &parts) == nullptr) return std::string();
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts);
  return buffer;
}

}  // namespace

// ---- Open errors ----

int LegacyOpenErrorCode(int AAVError, bool AFormatProbed) {
  if (AAVError == AVERROR(ENOENT) || AAVError == AVERROR_PROTOCOL_NOT_FOUND) return -2;
  if (AAVError == AVERROR(EIO) || AAVError == AVERROR_EOF) return -5;
  if (AAVError == AVERROR(ENOMEM)) return -12;
  if (AAVError == AVERROR_INVALIDDATA) return AFormatProbed ? -42 : -22;
  if (AAVError == AVERROR(EINVAL)) return -22;
  if (AAVError == AVERROR_DEMUXER_NOT_FOUND || AAVError == AVERROR(EILSEQ)) return -42;
  if (AAVError == AVERROR(EDOM)) return -33;
  return -1;
}

bool InputContentRecognised(const std::string& ALibraryName) {
  // The library probes at most 1 MiB before it gives up on the content.
  constexpr int kProbeBytes = 1 << 20;
  int handle = -1;
  if (IsUnicodeURL(ALibraryName)) {
    if (UnicodeOpen(ALibraryName, AVIO_FLAG_READ, handle) != 0) return true;
  } else {
    handle = ::open(ALibraryName.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) return true;
  }
  std::vector<unsigned char> buffer(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
  int size = 0;
  bool readable = true;
  while (size < kProbeBytes) {
    int n = UnicodeRead(handle, buffer.data() + size, kProbeBytes - size);
    if (n < 0) readable = false;
    if (n <= 0) break;
    size += n;
  }
  UnicodeClose(handle);
  if (!readable) return true;
  // No file name: a demuxer has to recognise the bytes themselves.
  AVProbeData data{};
  data.filename = "";
  data.buf = buffer.data();
  data.buf_size = size;
  int score = 0;
  return lib::av_probe_input_format2(&data, 1, &score) != nullptr;
}

int InputOpenErrorCode(int AAVError, const AVInputFormat* AFormat, const std::string& ALibraryName) {
  bool unrecognised = AAVError == AVERROR_INVALIDDATA && AFormat == nullptr && !InputContentRecognised(ALibraryName);
  return LegacyOpenErrorCode(AAVError, unrecognised);
}

// ---- TCustomAVProbe ----

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() { TCustomAVProbe::Close(); }

void TCustomAVProbe::Enable() { FEnabled = true; }

void TCustomAVProbe::CheckLibraries() const {
  TFFmpegLoader& loader = FFmpegLoader();
  if (!loader.IsLoaded(ltAVCodec)) throw std::runtime_error("LibAVCodec not loaded.");
  if (!loader.IsLoaded(ltAVFormat)) throw std::runtime_error("LibAVFormat not loaded.");
  if (!loader.IsLoaded(ltAVUtil)) throw std::runtime_error("LibAVUtil not loaded.");
  if (!loader.IsLoaded(ltSwScale)) throw std::runtime_error("LibSwScale not loaded.");
}

bool TCustomAVProbe::LoadFile(const std::u16string& AFileName, const std::string& AFormatName) {
  CheckLibraries();
  Close();
  if (!FEnabled) return false;

  const AVInputFormat* format = nullptr;
  if (!AFormatName.empty()) {
    format = lib::av_find_input_format(AFormatName.c_str());
    if (format == nullptr) {
      FLastErrMsg = "Unknown input format: " + AFormatName;
      return false;
    }
  }

  std::string libraryName;
  if (!ToLibraryFileName(AFileName, libraryName)) {
    FLastErrMsg = FileNameTooLongText(AFileName);
    return false;
  }
  const std::string shownName = ToLocal8Bit(AFileName);

  FFormatContext = lib::avformat_alloc_context();
  if (FFormatContext == nullptr) {
    FLastErrMsg = OpenErrorText(shownName, -12);
    return false;
  }
  FOwnsContext = true;
  int result = OpenInputContext(&FFormatContext, libraryName, format, nullptr);
  if (result < 0) {
    // The failed open has freed the context.
    FFormatContext = nullptr;
    FLastErrMsg = OpenErrorText(shownName, InputOpenErrorCode(result, format, libraryName));
    Close();
    return false;
  }

  {
    TServingLock<std::recursive_mutex> lock(CodecLock());
    result = lib::avformat_find_stream_info(FFormatContext, nullptr);
  }
  if (result < 0) {
    FLastErrMsg = shownName + ": could not find codec parameters";
    Close();
    return false;
  }

  CountStreams();
  FFormatName = AFormatName;
  return true;
}

void TCustomAVProbe::Attach(AVFormatContext* AContext) {
  CheckLibraries();
  Close();
  if (AContext == nullptr) return;
  FFormatContext = AContext;
  FOwnsContext = false;
  CountStreams();
}

void TCustomAVProbe::Close() {
  FFormatName.clear();
  if (FFormatContext != nullptr) {
    // Without the library the context cannot be closed; it is only dropped.
    if (FOwnsContext && lib::avformat_close_input) CloseInputContext(&FFormatContext);
    FFormatContext = nullptr;
  }
  FOwnsContext = false;
  ResetCounts();
}

void TCustomAVProbe::ResetCounts() {
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioIndex = FFirstVideoIndex = FFirstSubtitleIndex = -1;
}

void TCustomAVProbe::CountStreams() {
  FStreamCount = static_cast<int>(FFormatContext->nb_streams);
  FProgramCount = static_cast<int>(FFormatContext->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (int i = 0; i < FStreamCount; ++i) {
    switch (FFormatContext->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        if (FVideoStreamCount++ == 0) FFirstVideoIndex = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        if (FAudioStreamCount++ == 0) FFirstAudioIndex = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (FSubtitleStreamCount++ == 0) FFirstSubtitleIndex = i;
        break;
      default:
        break;
    }
  }
}

bool TCustomAVProbe::CheckLoaded() {
  if (FFormatContext != nullptr) return true;
  LibraryLog(AV_LOG_WARNING, kFileNotLoaded);
  FLastErrMsg = kFileNotLoaded;
  return false;
}

bool TCustomAVProbe::CheckIndex(int AIndex) {
  if (AIndex >= 0 && AIndex < FStreamCount) return true;
  std::string text = Format("stream index #%d is invalid.", AIndex);
  LibraryLog(AV_LOG_ERROR, text);
  FLastErrMsg = text;
  return false;
}

int TCustomAVProbe::StreamType(int AIndex) {
  if (!CheckLoaded() || !CheckIndex(AIndex)) return AVMEDIA_TYPE_UNKNOWN;
  return FFormatContext->streams[AIndex]->codecpar->codec_type;
}

bool TCustomAVProbe::IsAudioStream(int AIndex) { return StreamType(AIndex) == AVMEDIA_TYPE_AUDIO; }
bool TCustomAVProbe::IsVideoStream(int AIndex) { return StreamType(AIndex) == AVMEDIA_TYPE_VIDEO; }
bool TCustomAVProbe::IsSubtitleStream(int AIndex) { return StreamType(AIndex) == AVMEDIA_TYPE_SUBTITLE; }

bool TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& AInfo) {
  AInfo = TFileStreamInfo();
  if (!CheckLoaded()) return false;
  const AVFormatContext* c = FFormatContext;
  AInfo.StartTime = KnownOr(c->start_time);
  AInfo.Duration = KnownOr(c->duration);
  // A file whose streams start hours apart (a muxing error) plays as long as
  // its streams once each is lined up on its own start; the container's
  // duration counts the distance between them.
  const TFileTimeline timeline = FileTimeline(c);
  if (timeline.SeparateStarts && timeline.Length > 0) AInfo.Duration = timeline.Length;
  AInfo.BitRate = ClampToInt(c->bit_rate);
  // The format context of this library generation keeps timestamp, year and
  // track only as metadata: "creation_time" (ISO 8601, parsed with
  // av_parse_time), "date" or "year" and "track" (their leading numbers,
  // as "2009-05-01" and "3/12" are stored).
  const AVDictionary* m = c->metadata;
  std::string created = Metadata(m, "creation_time");
  int64_t microseconds = 0;
  if (!created.empty() && lib::av_parse_time(&microseconds, created.c_str(), 0) == 0 && microseconds > 0)
    AInfo.Timestamp = microseconds / 1000000;
  std::string date = Metadata(m, "date");
  AInfo.Year = std::atoi((date.empty() ? Metadata(m, "year") : date).c_str());
  AInfo.Track = std::atoi(Metadata(m, "track").c_str());
  AInfo.Title = Metadata(m, "title");
  // The author is stored as "artist" by the demuxers of this generation.
  AInfo.Author = Metadata(m, "author");
  if (AInfo.Author.empty()) AInfo.Author = Metadata(m, "artist");
  AInfo.Copyright = Metadata(m, "copyright");
  AInfo.Comment = Metadata(m, "comment");
  AInfo.Album = Metadata(m, "album");
  AInfo.Genre = Metadata(m, "genre");
  return true;
}

bool TCustomAVProbe::GetVideoStreamInfo(TVideoStreamInfo& AInfo) { return GetVideoStreamInfoByIndex(-1, AInfo); }

bool TCustomAVProbe::GetVideoStreamInfoByIndex(int AIndex, TVideoStreamInfo& AInfo) {
  AInfo = TVideoStreamInfo();
  if (!CheckLoaded()) return false;
  int index = AIndex < 0 ? FFirstVideoIndex : AIndex;
  if (index < 0) {
    LibraryLog(AV_LOG_ERROR, "no video stream.");
    FLastErrMsg = "no video stream.";
    return false;
  }
  if (!CheckIndex(index)) return false;
  AVStream* stream = FFormatContext->streams[index];
  const AVCodecParameters* par = stream->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_VIDEO) {
    FLastErrMsg = Format("stream #%d is not video stream.", index);
    return false;
  }
  AVRational timeBase = RepairTimeBase(stream);
  AInfo.Language = Metadata(stream->metadata, "language");
  AInfo.CodecInfo = CodecNameText(par->codec_id, par->codec_tag, false);
  AInfo.StartTime = KnownOr(stream->start_time);
  AInfo.StartTimeUs = ToMicroseconds(stream->start_time, timeBase);
  AInfo.Duration = KnownOr(stream->duration);
  AInfo.DurationUs = ToMicroseconds(stream->duration, timeBase);
  AInfo.BitRate = ClampToInt(par->bit_rate);
  AInfo.Height = par->height;
  AInfo.Width = par->width;
  const TPictureTurn turn = StreamPictureTurn(stream);
  AInfo.Rotation = turn.Rotation;
  AInfo.Mirrored = turn.Mirrored;
  if (par->height > 0) {
    // The container's sample aspect ratio when it has one, else the
    // codec's; none known means square pixels.
    AVRational sar = stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio : par->sample_aspect_ratio;
    double aspect = sar.num && sar.den ? av_q2d(sar) : 1.0;
    AInfo.DisplayAspect = static_cast<float>(aspect * par->width / par->height);
  }
  AInfo.PixelFormat = par->format;
  AInfo.FrameRateNum = stream->r_frame_rate.num;
  AInfo.FrameRateDen = stream->r_frame_rate.den;
  return true;
}

std::u16string TCustomAVProbe::FileName() {
  if (!CheckLoaded()) return std::u16string();
  return FileNameFromLibrary(FFormatContext->url ? FFormatContext->url : "");
}

int64_t TCustomAVProbe::ContextFileSize() const {
  if (FFormatContext->pb == nullptr) return 0;
  return lib::avio_size(FFormatContext->pb);
}

int64_t TCustomAVProbe::FileSize() {
  if (!CheckLoaded()) return -1;
  int64_t size = ContextFileSize();
  if (size > 0) return size;
  std::u16string name = FileName();
  if (FileExistsW(name)) return FileSizeByName(name);
  // The context's value; it tells an unknown size by an error code.
  return size < 0 ? 0 : size;
}

namespace {

// "Program <id> <provider>@<name>" of the information text.
std::string ProgramLine(const AVProgram* AProgram) {
  // The MPEG-TS demuxer stores "service_provider" and "service_name".
  std::string provider = Metadata(AProgram->metadata, "service_provider");
  if (provider.empty()) provider = Metadata(AProgram->metadata, "provider_name");
  std::string name = Metadata(AProgram->metadata, "service_name");
  if (name.empty()) name = Metadata(AProgram->metadata, "name");
  return Format("Program %d %s@%s", AProgram->id, provider.empty() ? "N/A" : provider.c_str(),
                name.empty() ? "N/A" : name.c_str());
}

}  // namespace

std::string TCustomAVProbe::InfoText() {
  if (!CheckLoaded()) return std::string();
  const AVFormatContext* c = FFormatContext;
  std::string text;
  auto line = [&text](const std::string& ALine) { text += ALine + "\r\n"; };

  line("File Name: " + ToLocal8Bit(FileName()));
  line(std::string("Format Name: ") + (c->iformat && c->iformat->name ? c->iformat->name : ""));
  line(std::string("Format Long Name: ") + (c->iformat && c->iformat->long_name ? c->iformat->long_name : ""));
  line("File Size: " + SizeText(FileSize()));

  TFileStreamInfo info;
  GetFileStreamInfo(info);
  if (info.StartTime != -1) line("StartTime: " + SecondsText(info.StartTime));
  line("Duration: " + (info.Duration != -1 ? DurationText(info.Duration) : std::string("N/A")));
  line(info.BitRate >= 1 ? Format("Bit Rate: %d Kbps", info.BitRate / 1000) : std::string("Bit Rate: N/A"));
  if (info.Timestamp > 0) line("Time Stamp: " + LocalDateTimeText(info.Timestamp));
  if (!info.Title.empty()) line("Title: " + info.Title);
  if (!info.Author.empty()) line("Author: " + info.Author);
  if (!info.Copyright.empty()) line("Copyright: " + info.Copyright);
  if (!info.Comment.empty()) line("Comment: " + info.Comment);
  if (!info.Album.empty()) line("Album: " + info.Album);
  if (!info.Genre.empty()) line("Genre: " + info.Genre);
  if (info.Year > 0) line(Format("Year: %d", info.Year));
  if (info.Track > 0) line(Format("Track: #%d", info.Track));

  if (c->nb_programs == 0) {
    for (unsigned i = 0; i < c->nb_streams; ++i) line(StreamLine(static_cast<int>(i)));
  } else {
    for (unsigned p = 0; p < c->nb_programs; ++p) {
      const AVProgram* program = c->programs[p];
      line(ProgramLine(program));
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
        unsigned index = program->stream_index[k];
        if (index < c->nb_streams) line(StreamLine(static_cast<int>(index)));
      }
    }
  }
  return text;
}

std::string TCustomAVProbe::StreamLine(int AIndex) {
  const AVFormatContext* c = FFormatContext;
  AVStream* stream = c->streams[AIndex];
  const AVCodecParameters* par = stream->codecpar;
  AVRational timeBase = RepairTimeBase(stream);

  std::string line = Format("Stream #%d", AIndex);
  if (c->iformat && (c->iformat->flags & AVFMT_SHOW_IDS)) line += Format("[0x%x]", stream->id);
  std::string language = Metadata(stream->metadata, "language");
  if (!language.empty()) line += "(" + language + ")";

  int gcd = static_cast<int>(lib::av_gcd(timeBase.num, timeBase.den));
  if (gcd == 0) gcd = 1;
  line += Format(", %d/%d", timeBase.num / gcd, timeBase.den / gcd);
  line += ": " + CodecDescription(par);

  const AVRational sar = stream->sample_aspect_ratio;
  if (sar.num != 0 && av_cmp_q(sar, par->sample_aspect_ratio) != 0) {
    int darNum = 0, darDen = 0;
    lib::av_reduce(&darNum, &darDen, static_cast<int64_t>(par->width) * sar.num,
                   static_cast<int64_t>(par->height) * sar.den, int64_t{1024} * 1024);
    line += Format(", PAR %d:%d DAR %d:%d", sar.num, sar.den, darNum, darDen);
  }

  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational rate = stream->r_frame_rate;
    if (rate.num && rate.den) AppendRate(line, av_q2d(rate), "tbr");
    if (timeBase.num && timeBase.den) AppendRate(line, 1 / av_q2d(timeBase), "tbn");
    // Streams of this library generation carry no codec time base. The
    // codec's time base is taken as one frame of the average frame rate, so
    // tbc is that rate; a stream without an average rate has no tbc.
    const AVRational average = stream->avg_frame_rate;
    if (average.num && average.den) AppendRate(line, av_q2d(average), "tbc");
    // Shown turned (a phone's recording): clockwise degrees.
    const TPictureTurn turn = StreamPictureTurn(stream);
    if (!turn.None()) line += ", Rotation: " + turn.Text();
  }

  if (stream->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " + SecondsText(ToMicroseconds(stream->start_time, timeBase));
  line +=
      ", Duration: " + (stream->duration != AV_NOPTS_VALUE ? DurationText(ToMicroseconds(stream->duration, timeBase))
                                                           : std::string("N/A"));
  return line;
}

// ---- TAVProbe ----

TAVProbe::~TAVProbe() { TAVProbe::Close(); }

void TAVProbe::Close() {
  FDecoderOpened = false;
  FPictureReady = false;
  FFirstPTS = FLastPTS = FSeekPTS = -1;
  FPictureNumber = 0;
  if (FPictureScaler != nullptr && lib::sws_freeContext) {
    lib::sws_freeContext(FPictureScaler);
  }
  FPictureScaler = nullptr;
  if (FPictureDecoder != nullptr && lib::avcodec_free_context) {
    TServingLock<std::recursive_mutex> lock(CodecLock());
    lib::avcodec_free_context(&FPictureDecoder);
  }
  FPictureDecoder = nullptr;
  if (FPictureBuffer != nullptr && lib::av_free) lib::av_free(FPictureBuffer);
  FPictureBuffer = nullptr;
  TCustomAVProbe::Close();
}
