#pragma once
// The library loader. None of the media libraries is linked at build time:
// the loader opens them at run time by file name from a chosen folder (the
// "LibAV" folder beside the executable), binds every function the system
// calls into the lib:: function variables (runtime/lib/*.h) and unbinds them
// again. One loader exists per process.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

enum TLibraryType : uint8_t {
  ltAVCodec,
  ltAVDevice,
  ltAVFilter,
  ltAVFormat,
  ltAVUtil,
  ltSwScale,
  ltMyUtil,
  ltSDL,
  ltSwResample,     // audio resampling and sample-format conversion
  ltOpenCoreAMRNB,  // the AMR-NB speech encoder of 3GP outputs
};
constexpr int kLibraryTypeCount = 10;

// A set of libraries (walked in ordinal order).
class TLibrarySet {
 public:
  constexpr TLibrarySet() = default;
  constexpr TLibrarySet(std::initializer_list<TLibraryType> ATypes) {
    for (TLibraryType t : ATypes) FBits |= 1u << t;
  }
  constexpr bool Has(TLibraryType AType) const { return (FBits >> AType) & 1u; }
  constexpr bool Empty() const { return FBits == 0; }

 private:
  uint32_t FBits = 0;
};

// The libraries of the converter component, the engine and the probe.
inline constexpr TLibrarySet kConverterLibraries = {ltAVCodec, ltAVFilter, ltAVFormat,   ltAVUtil,
                                                    ltSwScale, ltMyUtil,   ltSwResample, ltOpenCoreAMRNB};
// The libraries of the preview player.
inline constexpr TLibrarySet kPlayerLibraries = {ltAVCodec, ltAVFormat, ltAVUtil,    ltSwScale,
                                                 ltMyUtil,  ltSDL,      ltSwResample};

struct TLibraryItem {
  TLibraryType Type;
  const char16_t* BaseName;
  int Version;  // major version, -1 for none
  void (*Bind)(const std::u16string& AFileName, void* AHandle);
  void (*Unbind)();
};

class TFFmpegLoader {
 public:
  TFFmpegLoader();

  // The folder libraries are loaded from.
  std::u16string LibraryPath() const;
  void SetLibraryPath(const std::u16string& APath);
  std::string LastError() const;
  bool AutoLogCallback = true;

  // A per-library override of the file name (empty: the standard name).
  void SetFileName(TLibraryType ALibrary, const std::u16string& AFileName);
  // "lib" + base + ".so." + version, or "lib" + base + ".so" without a version.
  std::u16string LibraryFileName(TLibraryType ALibrary) const;

  bool LoadLib(TLibraryType ALibrary);
  bool LoadLibs(TLibrarySet ALibraries);
  bool IsLoaded(TLibraryType ALibrary) const;
  bool AllLoaded(TLibrarySet ALibraries) const;
  void UnloadLib(TLibraryType ALibrary);
  void UnloadLibs(TLibrarySet ALibraries);

  // Looks AName up in the module; throws std::runtime_error
  // "Load function %s@%s error: %s" when it is missing.
  static void BindFunction(const std::u16string& ALibFileName, void* AHandle, const char* AName, void** AVar);

  static const TLibraryItem& Item(TLibraryType ALibrary);

 private:
  struct TLibraryStatus {
    std::u16string FileName;
    void* Handle = nullptr;
    std::atomic<bool> Loaded{false};
  };
  mutable std::mutex FLock;  // guards the texts; loading itself runs on one thread at a time
  std::u16string FLibraryPath;
  std::string FLastError;
  TLibraryStatus FStatus[kLibraryTypeCount];
};

// The process's loader.
TFFmpegLoader& FFmpegLoader();

// Held around every codec open and close and every stream-information read
// of the engine, the probe and the player. Take it with TServingLock: a worker
// holding it may log, and its log line waits for the main thread.
std::recursive_mutex& CodecLock();

// A rational close to AValue with terms up to AMax: the aspect-ratio
// conversion of the engine (exponent-scaled denominator, then av_reduce).
AVRational DoubleToRational(double AValue, int AMax);
