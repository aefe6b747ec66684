#include "runtime/FrameHook.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "runtime/FFUtils.h"
#include "runtime/FFmpegLogger.h"

namespace {

// Loaded modules by file name; never unloaded while the program runs.
std::mutex gModulesLock;
std::map<std::string, void*>& Modules() {
  static auto* modules = new std::map<std::string, void*>;
  return *modules;
}

void LogError(const std::string& AText) { FFLoggerInstance()->Log(nullptr, llError, AText); }

}  // namespace

int AddFrameHook(TFrameHookChain& AChain, int argc, char* argv[]) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return -1;
  const std::string file = argv[0];
  void* handle;
  {
    std::lock_guard<std::mutex> guard(gModulesLock);
    auto found = Modules().find(file);
    if (found != Modules().end()) {
      handle = found->second;
    } else {
      // A module named with a folder is loaded from there; a bare name is
      // searched in the system's order.
      handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* error = ::dlerror();
        LogError(std::string(error ? error : "cannot load ") + "\n");
        return -1;
      }
      Modules()[file] = handle;
    }
  }
  TFrameHookEntry entry;
  entry.Configure = reinterpret_cast<TFrameHookConfigure>(::dlsym(handle, "Configure"));
  entry.Process = reinterpret_cast<TFrameHookProcess>(::dlsym(handle, "Process"));
  entry.Release = reinterpret_cast<TFrameHookRelease>(::dlsym(handle, "Release"));
  if (entry.Process == nullptr) {
    LogError(Format("Failed to find Process entrypoint in %s\n", file.c_str()));
    return -2;
  }
  if (entry.Configure == nullptr && argc > 1) {
    LogError(Format("Failed to find Configure entrypoint in %s\n", file.c_str()));
    return -2;
  }
  if (entry.Configure != nullptr && entry.Configure(&entry.Context, argc, argv) != 0) {
    LogError(Format("Failed to Configure %s\n", file.c_str()));
    return -22;
  }
  AChain.push_back(entry);
  return 0;
}

void ProcessFrameHooks(TFrameHookChain& AChain, TFramePicture* APicture, int APixFmt, int AWidth, int AHeight,
                       int64_t APTS) {
  for (TFrameHookEntry& entry : AChain) entry.Process(entry.Context, APicture, APixFmt, AWidth, AHeight, APTS);
}

void ReleaseFrameHooks(TFrameHookChain& AChain) {
  for (TFrameHookEntry& entry : AChain)
    if (entry.Release) entry.Release(entry.Context);
  AChain.clear();
}
