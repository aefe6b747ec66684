// Fuzz target over the engine's option dispatcher: the input is split into
// lines "name=value" (a line without "=" is a name with an empty value) and
// each is applied, in order, to a fresh engine instance (prepared as every
// owner prepares it) through SetOption. The dispatcher's own errors
// (FFmpegException, std::exception) are expected; anything else, a crash or
// a sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "engine/config/FFmpeg.h"
#include "tests/fuzz/FuzzSetup.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsetup::LoadQuiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string input(reinterpret_cast<const char*>(AData), ASize);
  TCustomFFmpeg engine;
  engine.Prepare();  // what every owner does before configuring
  size_t pos = 0;
  while (pos <= input.size()) {
    size_t end = input.find('\n', pos);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    try {
      engine.SetOption(name, value);
    } catch (const FFmpegException&) {
    } catch (const std::exception&) {
    }
  }
  return 0;
}
