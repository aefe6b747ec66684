#pragma once
// Frame hook modules: shared objects that alter decoded pictures, chained per
// engine instance. A module exports
//   int  Configure(void** AContext, int argc, char* argv[]);   (optional without arguments)
//   void Process(void* AContext, TFramePicture* APicture, int APixFmt, int AWidth, int AHeight, int64_t APTS);
//   void Release(void* AContext);                               (optional)
// Loaded modules are kept in a process-wide list keyed by file name and
// loaded once; they stay loaded until the program ends.

#include <cstdint>
#include <vector>

// The picture a hook receives: four planes and their line sizes.
struct TFramePicture {
  uint8_t* data[4];
  int linesize[4];
};

using TFrameHookConfigure = int (*)(void** AContext, int argc, char* argv[]);
using TFrameHookProcess = void (*)(void* AContext, TFramePicture* APicture, int APixFmt, int AWidth, int AHeight,
                                   int64_t APTS);
using TFrameHookRelease = void (*)(void* AContext);

struct TFrameHookEntry {
  TFrameHookConfigure Configure = nullptr;
  TFrameHookProcess Process = nullptr;
  TFrameHookRelease Release = nullptr;
  void* Context = nullptr;
};

using TFrameHookChain = std::vector<TFrameHookEntry>;

// Loads argv[0] (once per process), configures it with the arguments and
// appends it to AChain. Returns 0, -1 (module not loadable), -2 (entry point
// missing), -22 (configuration refused) or -12 (no memory); failures are
// logged at llError.
int AddFrameHook(TFrameHookChain& AChain, int argc, char* argv[]);
void ProcessFrameHooks(TFrameHookChain& AChain, TFramePicture* APicture, int APixFmt, int AWidth, int AHeight,
                       int64_t APTS);
// Calls each Release and empties the chain.
void ReleaseFrameHooks(TFrameHookChain& AChain);
