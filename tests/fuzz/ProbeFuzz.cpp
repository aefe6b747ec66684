// Fuzz target over the probe's open path: every input becomes a file that
// TAVProbe opens, describes (information text, file and video stream
// records, stream kinds) and closes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "probe/AVProbe.h"
#include "runtime/Text.h"
#include "tests/fuzz/FuzzSetup.h"

namespace {
std::string gPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup::LoadQuiet();
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  gPath = std::string(dir) + "/vidmill-probefuzz-" + std::to_string(getpid()) + ".bin";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FILE* f = std::fopen(gPath.c_str(), "wb");
  if (!f) return 0;
  if (ASize) std::fwrite(AData, 1, ASize, f);
  std::fclose(f);

  TAVProbe probe;
  probe.Enable();
  if (probe.LoadFile(Utf8ToUtf16(gPath))) {
    volatile size_t sink = probe.InfoText().size();
    TFileStreamInfo fileInfo;
    probe.GetFileStreamInfo(fileInfo);
    TVideoStreamInfo videoInfo;
    probe.GetVideoStreamInfo(videoInfo);
    for (int i = 0; i < probe.StreamCount(); ++i) {
      sink = sink + probe.IsAudioStream(i) + probe.IsVideoStream(i) + probe.IsSubtitleStream(i);
      if (probe.IsVideoStream(i)) probe.GetVideoStreamInfoByIndex(i, videoInfo);
    }
    sink = sink + static_cast<size_t>(probe.FileSize()) + probe.FileName().size();
    (void)sink;
  }
  probe.Close();
  std::remove(gPath.c_str());
  return 0;
}
