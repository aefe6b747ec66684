#include "runtime/FFmpegLoader.h"

#include <dlfcn.h>

#include <cassert>
#include <cmath>
#include <stdexcept>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Text.h"
#include "runtime/UnicodeProtocol.h"
#include "runtime/lib/AMRNB.h"
#include "runtime/lib/AVFilter.h"
#include "runtime/lib/AVFormat.h"
#include "runtime/lib/MyUtil.h"
#include "runtime/lib/SDL.h"
#include "runtime/lib/SwResample.h"
#include "runtime/lib/SwScale.h"

// Builds with AddressSanitizer: libx264 does not free what it allocated for
// an open that it refuses (an odd picture size, tried before the real open
// to learn whether the size must become even). That leak is the library's
// own and is not reported. libx265, which only the tests' media generator
// uses (for HEVC sources), keeps an allocation of its 10-bit encoder after
// the encoder is closed: also the library's own.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:libx264.so\nleak:libx265.so\n"; }
#endif

// Builds with ThreadSanitizer: the libraries are not instrumented, so the
// hand-over between their own threads (libavcodec's frame and slice threads,
// libavfilter's and libswscale's slice threads, the thread pools of libx264
// and of libx265, whose HEVC encoder makes test clips) and the thread that
// runs the codec, graph or scaler is invisible, and the allocations, copies
// and frees those libraries make (libavutil's buffers among them) look
// unsynchronised. What the libraries do themselves is not checked; the
// engine's own accesses still are.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libavfilter.so\ncalled_from_lib:libavcodec.so\ncalled_from_lib:libavutil.so\n"
         "called_from_lib:libswscale.so\ncalled_from_lib:libx264.so\ncalled_from_lib:libx265.so\n";
}
#endif

namespace lib {
VIDMILL_AVUTIL_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_AVCODEC_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_AVFORMAT_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_AVFILTER_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_SWSCALE_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_SWRESAMPLE_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_AMRNB_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_SDL_FUNCTIONS(VIDMILL_DEFINE_BOUND)
VIDMILL_MYUTIL_FUNCTIONS(VIDMILL_DEFINE_BOUND)
}  // namespace lib

namespace {

#define VIDMILL_BIND_ONE(name) \
  TFFmpegLoader::BindFunction(AFileName, AHandle, #name, reinterpret_cast<void**>(&lib::name));
#define VIDMILL_UNBIND_ONE(name) lib::name = nullptr;
#define VIDMILL_BINDERS(id, list)                                                          \
  void Bind##id(const std::u16string& AFileName, void* AHandle) { list(VIDMILL_BIND_ONE) } \
  void Unbind##id() { list(VIDMILL_UNBIND_ONE) }

VIDMILL_BINDERS(AVCodec, VIDMILL_AVCODEC_FUNCTIONS)
VIDMILL_BINDERS(AVFilter, VIDMILL_AVFILTER_FUNCTIONS)
VIDMILL_BINDERS(AVFormat, VIDMILL_AVFORMAT_FUNCTIONS)
VIDMILL_BINDERS(AVUtil, VIDMILL_AVUTIL_FUNCTIONS)
VIDMILL_BINDERS(SwScale, VIDMILL_SWSCALE_FUNCTIONS)
VIDMILL_BINDERS(SwResample, VIDMILL_SWRESAMPLE_FUNCTIONS)
VIDMILL_BINDERS(AMRNB, VIDMILL_AMRNB_FUNCTIONS)
VIDMILL_BINDERS(SDL, VIDMILL_SDL_FUNCTIONS)
VIDMILL_BINDERS(MyUtil, VIDMILL_MYUTIL_FUNCTIONS)

// avdevice belongs to no library set: nothing of it is called.
void BindNothing(const std::u16string&, void*) {}
void UnbindNothing() {}

const TLibraryItem kLibraries[kLibraryTypeCount] = {
    {ltAVCodec, u"avcodec", 59, BindAVCodec, UnbindAVCodec},
    {ltAVDevice, u"avdevice", 59, BindNothing, UnbindNothing},
    {ltAVFilter, u"avfilter", 8, BindAVFilter, UnbindAVFilter},
    {ltAVFormat, u"avformat", 59, BindAVFormat, UnbindAVFormat},
    {ltAVUtil, u"avutil", 57, BindAVUtil, UnbindAVUtil},
    {ltSwScale, u"swscale", 6, BindSwScale, UnbindSwScale},
    {ltMyUtil, u"myutil", -1, BindMyUtil, UnbindMyUtil},
    {ltSDL, u"SDL2-2.0", 0, BindSDL, UnbindSDL},
    {ltSwResample, u"swresample", 4, BindSwResample, UnbindSwResample},
    {ltOpenCoreAMRNB, u"opencore-amrnb", 0, BindAMRNB, UnbindAMRNB},
};

std::string DlError() {
  const char* e = ::dlerror();
  return e ? e : "unknown error";
}

}  // namespace

TFFmpegLoader::TFFmpegLoader() = default;

const TLibraryItem& TFFmpegLoader::Item(TLibraryType ALibrary) { return kLibraries[ALibrary]; }

std::u16string TFFmpegLoader::LibraryPath() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLibraryPath;
}

void TFFmpegLoader::SetLibraryPath(const std::u16string& APath) {
  std::lock_guard<std::mutex> guard(FLock);
  FLibraryPath = APath;
}

std::string TFFmpegLoader::LastError() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLastError;
}

void TFFmpegLoader::SetFileName(TLibraryType ALibrary, const std::u16string& AFileName) {
  std::lock_guard<std::mutex> guard(FLock);
  FStatus[ALibrary].FileName = AFileName;
}

std::u16string TFFmpegLoader::LibraryFileName(TLibraryType ALibrary) const {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FStatus[ALibrary].FileName.empty()) return FStatus[ALibrary].FileName;
  }
  const TLibraryItem& item = kLibraries[ALibrary];
  std::u16string name = u"lib" + std::u16string(item.BaseName) + u".so";
  if (item.Version >= 0) name += u"." + Utf8ToUtf16(std::to_string(item.Version));
  return name;
}

void TFFmpegLoader::BindFunction(const std::u16string& ALibFileName, void* AHandle, const char* AName, void** AVar) {
  ::dlerror();
  void* address = ::dlsym(AHandle, AName);
  if (address == nullptr) {
    throw std::runtime_error(
        Format("Load function %s@%s error: %s", AName, ToLocal8Bit(ALibFileName).c_str(), DlError().c_str()));
  }
  *AVar = address;
}

bool TFFmpegLoader::LoadLib(TLibraryType ALibrary) {
  TLibraryStatus& status = FStatus[ALibrary];
  const TLibraryItem& item = kLibraries[ALibrary];
  std::u16string fileName = LibraryFileName(ALibrary);
  if (status.Handle == nullptr) {
    std::u16string folder = ExtractFilePathW(fileName);
    std::u16string path = LibraryPath();
    if (folder.empty() && !path.empty()) folder = IncludeTrailingBackslash(path);
    std::u16string name = ExtractFileNameW(fileName);
    // A library found in the folder is loaded by its full path; any other is
    // searched by its bare name in the system's order. Libraries already
    // loaded under the same name are reused by the dynamic linker.
    std::u16string target = (!folder.empty() && FileExistsW(folder + name)) ? folder + name : name;
    // Unloading never unmaps a library: threads or callbacks it started may
    // still point into it.
    void* handle = ::dlopen(SystemPath(target).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      std::string error = Format("Load library %s error: %s", ToLocal8Bit(folder + name).c_str(), DlError().c_str());
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = error;
      return false;
    }
    status.Handle = handle;
  }
  if (!status.Loaded) {
    try {
      item.Bind(fileName, status.Handle);
      status.Loaded = true;
    } catch (const std::exception& e) {
      item.Unbind();
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = e.what();
    }
  }
  if (!status.Loaded) {
    UnloadLib(ALibrary);
    return false;
  }
  if (ALibrary == ltAVUtil) {
    lib::av_log_set_level(GetAVLogLevel());
    if (AutoLogCallback) FFLoggerInstance()->InstallLogCallback();
  } else if (ALibrary == ltAVFormat) {
    RegisterUnicodeProtocol();
  }
  return true;
}

bool TFFmpegLoader::LoadLibs(TLibrarySet ALibraries) {
  assert(!ALibraries.Empty());
  for (int i = 0; i < kLibraryTypeCount; ++i) {
    auto type = static_cast<TLibraryType>(i);
    if (!ALibraries.Has(type)) continue;
    if (!LoadLib(type)) {
      std::string error = LastError();
      UnloadLibs(ALibraries);
      std::lock_guard<std::mutex> guard(FLock);
      FLastError = error;
      return false;
    }
  }
  return true;
}

bool TFFmpegLoader::IsLoaded(TLibraryType ALibrary) const {
  return FStatus[ALibrary].Loaded.load(std::memory_order_acquire);
}

bool TFFmpegLoader::AllLoaded(TLibrarySet ALibraries) const {
  assert(!ALibraries.Empty());
  for (int i = 0; i < kLibraryTypeCount; ++i) {
    auto type = static_cast<TLibraryType>(i);
    if (ALibraries.Has(type) && !IsLoaded(type)) return false;
  }
  return true;
}

void TFFmpegLoader::UnloadLib(TLibraryType ALibrary) {
  TLibraryStatus& status = FStatus[ALibrary];
  if (status.Loaded) {
    if (ALibrary == ltAVUtil && lib::av_log_set_callback) lib::av_log_set_callback(lib::av_log_default_callback);
    kLibraries[ALibrary].Unbind();
    status.Loaded = false;
  }
  if (status.Handle != nullptr) {
    ::dlclose(status.Handle);
    status.Handle = nullptr;
  }
}

void TFFmpegLoader::UnloadLibs(TLibrarySet ALibraries) {
  assert(!ALibraries.Empty());
  for (int i = 0; i < kLibraryTypeCount; ++i) {
    auto type = static_cast<TLibraryType>(i);
    if (ALibraries.Has(type)) UnloadLib(type);
  }
}

TFFmpegLoader& FFmpegLoader() {
  static TFFmpegLoader* loader = new TFFmpegLoader;  // lives as long as the libraries it loaded
  return *loader;
}

std::recursive_mutex& CodecLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

AVRational DoubleToRational(double AValue, int AMax) {
  int exponent = static_cast<int>(std::lround(std::log(std::fabs(AValue) + 1e-20) / std::log(2.0)));
  exponent = Clamp(exponent, 0, 61);
  int64_t den = int64_t(1) << (61 - exponent);
  AVRational result{0, 1};
  lib::av_reduce(&result.num, &result.den, std::llround(AValue * static_cast<double>(den)), den, AMax);
  return result;
}
