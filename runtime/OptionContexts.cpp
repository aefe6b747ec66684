#include "runtime/OptionContexts.h"

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/SwScale.h"

namespace {

// Option-flag masks per media type: video, audio, data, subtitle, attachment.
constexpr int kTypeMasks[kOptionMediaTypes] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                               AV_OPT_FLAG_SUBTITLE_PARAM, 0};

bool Finds(void* AObject, const char* AName, int AFlags) {
  return AObject != nullptr && lib::av_opt_find(AObject, AName, nullptr, AFlags, 0) != nullptr;
}

}  // namespace

bool AllocOptionContexts(TOptionContexts& AContexts, int ASwsFlags) {
  FreeOptionContexts(AContexts);
  for (int type = 0; type < kOptionMediaTypes; ++type) {
    AVCodecContext* ctx = lib::avcodec_alloc_context3(nullptr);
    if (ctx) ctx->codec_type = static_cast<AVMediaType>(type);
    AContexts.Codec[type] = ctx;
  }
  AContexts.Format = lib::avformat_alloc_context();
  AContexts.Scaler = lib::sws_getContext(16, 16, static_cast<AVPixelFormat>(0), 16, 16, static_cast<AVPixelFormat>(0),
                                         ASwsFlags, nullptr, nullptr, nullptr);
  for (AVCodecContext* ctx : AContexts.Codec)
    if (!ctx) return false;
  return AContexts.Format && AContexts.Scaler;
}

void FreeOptionContexts(TOptionContexts& AContexts) {
  for (AVCodecContext*& ctx : AContexts.Codec)
    if (ctx) lib::avcodec_free_context(&ctx);
  if (AContexts.Format) {
    lib::avformat_free_context(AContexts.Format);
    AContexts.Format = nullptr;
  }
  if (AContexts.Scaler) {
    lib::sws_freeContext(AContexts.Scaler);
    AContexts.Scaler = nullptr;
  }
  AContexts.Names.clear();
}

bool SetGenericOption(TOptionContexts& AContexts, const std::string& AName, const std::string& AValue) {
  const std::string name = Trim(AName);
  const std::string value = Trim(AValue);
  if (name.empty() || value.empty()) return false;
  if (!AContexts.Codec[0]) return false;

  const char* taken = nullptr;  // the option name a context accepted
  int result = 0;
  for (int type = 0; type < kOptionMediaTypes; ++type) {
    if (Finds(AContexts.Codec[0], name.c_str(), kTypeMasks[type])) {
      taken = name.c_str();
      result = lib::av_opt_set(AContexts.Codec[type], name.c_str(), value.c_str(), 0);
      if (result < 0) break;
    }
  }
  if (!taken && Finds(AContexts.Format, name.c_str(), 0)) {
    taken = name.c_str();
    result = lib::av_opt_set(AContexts.Format, name.c_str(), value.c_str(), 0);
  }
  if (!taken && Finds(AContexts.Scaler, name.c_str(), 0)) {
    taken = name.c_str();
    result = lib::av_opt_set(AContexts.Scaler, name.c_str(), value.c_str(), 0);
  }
  std::string shortName;
  if (!taken && name.size() > 1 && (name[0] == 'a' || name[0] == 'v' || name[0] == 's')) {
    int type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_SUBTITLE;
    shortName = name.substr(1);
    if (Finds(AContexts.Codec[type], shortName.c_str(), 0)) {
      taken = shortName.c_str();
      result = lib::av_opt_set(AContexts.Codec[type], shortName.c_str(), value.c_str(), 0);
    }
  }
  if (!taken) return false;
  if (result < 0) {
    lib::av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), name.c_str());
    return false;
  }
  AContexts.Names.emplace_back(taken);
  int64_t debug = 0;
  if ((lib::av_opt_get_int(AContexts.Codec[0], "debug", 0, &debug) >= 0 && debug != 0) ||
      (lib::av_opt_get_int(AContexts.Format, "fdebug", 0, &debug) >= 0 && debug != 0))
    FFLoggerInstance()->SetLogLevel(llDebug);
  return true;
}

void ApplySetOptions(const TOptionContexts& AContexts, void* ASource, void* ATarget, int AFlags) {
  if (!ASource || !ATarget) return;
  for (const std::string& name : AContexts.Names) {
    const AVOption* option = lib::av_opt_find(ASource, name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & AFlags) != AFlags) continue;
    uint8_t* value = nullptr;
    if (lib::av_opt_get(ASource, name.c_str(), 0, &value) >= 0 && value) {
      lib::av_opt_set(ATarget, name.c_str(), reinterpret_cast<const char*>(value), 0);
    }
    lib::av_free(value);
  }
}

AVDictionary* SetOptionsDictionary(const TOptionContexts& AContexts, void* ASource, int AFlags) {
  AVDictionary* dict = nullptr;
  if (!ASource) return nullptr;
  for (const std::string& name : AContexts.Names) {
    const AVOption* option = lib::av_opt_find(ASource, name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & AFlags) != AFlags) continue;
    uint8_t* value = nullptr;
    if (lib::av_opt_get(ASource, name.c_str(), 0, &value) >= 0 && value)
      lib::av_dict_set(&dict, name.c_str(), reinterpret_cast<const char*>(value), 0);
    lib::av_free(value);
  }
  return dict;
}

std::string LibraryErrorText(int ACode) {
  char text[AV_ERROR_MAX_STRING_SIZE * 2] = {};
  lib::av_strerror(ACode, text, sizeof text);
  return text;
}

std::string CodecNameText(int ACodecId, unsigned ACodecTag, bool AEncoder) {
  const AVCodec* codec = AEncoder ? lib::avcodec_find_encoder(static_cast<AVCodecID>(ACodecId))
                                  : lib::avcodec_find_decoder(static_cast<AVCodecID>(ACodecId));
  if (codec) {
    std::string longName = codec->long_name ? Trim(codec->long_name) : "";
    return longName.empty() ? codec->name : Format("%s(%s)", codec->name, longName.c_str());
  }
  if (ACodecId == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  unsigned char c[4] = {
      static_cast<unsigned char>(ACodecTag & 0xFF), static_cast<unsigned char>((ACodecTag >> 8) & 0xFF),
      static_cast<unsigned char>((ACodecTag >> 16) & 0xFF), static_cast<unsigned char>(ACodecTag >> 24)};
  bool printable = true;
  for (unsigned char ch : c)
    if (ch < 32 || ch > 126) printable = false;
  if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], ACodecTag);
  return Format("0x%04x", ACodecTag);
}

std::string CodecNameText(const AVCodecContext* AContext, bool AEncoder) {
  if (!AContext) return "";
  const AVCodec* codec =
      AEncoder ? lib::avcodec_find_encoder(AContext->codec_id) : lib::avcodec_find_decoder(AContext->codec_id);
  if (!codec && AContext->codec_id != AV_CODEC_ID_MPEG2TS && AContext->codec && AContext->codec->name) {
    std::string name = Trim(AContext->codec->name);
    if (!name.empty()) return name;
  }
  return CodecNameText(AContext->codec_id, AContext->codec_tag, AEncoder);
}

std::string MetadataValue(const AVDictionary* ADictionary, const std::string& AKey, const std::string& ADefault) {
  const AVDictionaryEntry* entry = lib::av_dict_get(ADictionary, AKey.c_str(), nullptr, 0);
  return entry && entry->value ? entry->value : ADefault;
}
