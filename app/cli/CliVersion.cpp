#include "app/cli/CliVersion.h"

#include <dlfcn.h>

#include <cstdio>

#include "converter/Vidmill.h"
#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/Text.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

namespace {

struct TLibraryVersion {
  TLibraryType Type;
  const char* Name;
  const char* VersionFunction;  // unsigned (void) of the library
  unsigned Built;               // the headers' version
};

const TLibraryVersion kLibraryVersions[] = {
    {ltAVCodec, "libavcodec", "avcodec_version", LIBAVCODEC_VERSION_INT},
    {ltAVFormat, "libavformat", "avformat_version", LIBAVFORMAT_VERSION_INT},
    {ltAVFilter, "libavfilter", "avfilter_version", LIBAVFILTER_VERSION_INT},
    {ltAVUtil, "libavutil", "avutil_version", LIBAVUTIL_VERSION_INT},
    {ltSwScale, "libswscale", "swscale_version", LIBSWSCALE_VERSION_INT},
    {ltSwResample, "libswresample", "swresample_version", LIBSWRESAMPLE_VERSION_INT},
};

std::string VersionOf(unsigned AVersion) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u", AVersion >> 16, (AVersion >> 8) & 0xFF, AVersion & 0xFF);
  return text;
}

// A function of a library the loader has loaded: the loader loads a library
// by its path in the library folder when it is there, else by its bare name,
// and asking the dynamic linker for either (without loading) finds it.
void* LoadedFunction(TLibraryType AType, const char* AName) {
  TFFmpegLoader& loader = FFmpegLoader();
  const std::string name = ToLocal8Bit(loader.LibraryFileName(AType));
  std::string folder = ToLocal8Bit(loader.LibraryPath());
  if (!folder.empty() && folder.back() != '/') folder += '/';
  for (const std::string& path : {folder + name, name}) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) continue;
    void* function = dlsym(handle, AName);
    dlclose(handle);  // drops the reference just taken; the loader keeps its own
    if (function) return function;
  }
  return nullptr;
}

}  // namespace

std::string CliVersionText() {
  TVidmill vidmill;
  std::string text = "vidmill-cli " VIDMILL_VERSION "\nengine " + vidmill.Version() + "\n";
  const bool loaded = vidmill.LoadAVLib(ModuleDir() + u"LibAV");
  if (!loaded) text += "media libraries not loaded: " + vidmill.LastErrMsg() + "\n";
  if (loaded) {
    using TInfoFunction = const char* (*)();
    if (auto info = reinterpret_cast<TInfoFunction>(LoadedFunction(ltAVUtil, "av_version_info")))
      text += std::string("FFmpeg ") + info() + "\n";
  }
  for (const TLibraryVersion& library : kLibraryVersions) {
    using TVersionFunction = unsigned (*)();
    auto version =
        loaded ? reinterpret_cast<TVersionFunction>(LoadedFunction(library.Type, library.VersionFunction)) : nullptr;
    text += std::string(library.Name) + " " + (version ? VersionOf(version()) : std::string("not loaded")) +
            " (built with " + VersionOf(library.Built) + ")\n";
  }
  return text;
}
