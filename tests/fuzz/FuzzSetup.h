#pragma once
// Shared start-up of the fuzz targets: loads the media libraries from the
// "LibAV" folder beside the executable and silences every log channel.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLoader.h"
#include "runtime/FFmpegLogger.h"
#include "runtime/Threads.h"
#include "runtime/lib/AVUtil.h"

namespace fuzzsetup {

inline void LoadQuiet() {
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();
  // The process's logger, without OnLog: lines go nowhere.
  TFFLogger* logger = FFLoggerInstance();
  logger->SetLogLevel(llQuiet);
  FFmpegLoader().SetLibraryPath(ModuleDir() + u"LibAV");
  if (!FFmpegLoader().LoadLibs(kConverterLibraries)) {
    std::fprintf(stderr, "%s\n", FFmpegLoader().LastError().c_str());
    std::exit(1);
  }
  lib::av_log_set_level(AV_LOG_QUIET);
}

}  // namespace fuzzsetup
