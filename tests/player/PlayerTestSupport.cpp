#include "tests/player/PlayerTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "runtime/Text.h"
#include "runtime/Threads.h"

namespace playertest {

bool WaitUntil(const std::function<bool()>& APredicate, double ASeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(ASeconds);
  bool done = false;
  WaitServing([&] {
    done = APredicate();
    return done || std::chrono::steady_clock::now() >= deadline;
  });
  return done;
}

void Wait(double ASeconds) {
  WaitUntil([] { return false; }, ASeconds);
}

int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

std::u16string Wide(const std::string& APath) { return FromLocal8Bit(APath); }

TPlayerRecorder::TPlayerRecorder(TFFPlayer& APlayer) {
  APlayer.OnState = [this](TObject*, TPlayState AState) {
    std::lock_guard<std::mutex> guard(FLock);
    FStates.push_back(AState);
  };
  APlayer.OnPosition = [this](TObject*, int64_t APTS) { Positions.push_back(APTS); };
  APlayer.OnFileOpen = [this](TObject*, int64_t ADuration, int AWidth, int AHeight, int&, int&) {
    ++FileOpens;
    Duration = ADuration;
    FrameWidth = AWidth;
    FrameHeight = AHeight;
  };
}

std::vector<TPlayState> TPlayerRecorder::States() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FStates;
}

int TPlayerRecorder::StateCount(TPlayState AState) const {
  std::lock_guard<std::mutex> guard(FLock);
  int count = 0;
  for (TPlayState state : FStates) count += state == AState;
  return count;
}

std::vector<int16_t> ReadDiskAudio() {
  std::ifstream file(DiskAudioFile(), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

TToneAnalysis AnalyseTone(const std::vector<int16_t>& ASamples, int AChannels, int ARate) {
  TToneAnalysis result;
  const size_t frames = ASamples.size() / AChannels;
  for (int16_t sample : ASamples) result.Peak = std::max(result.Peak, std::abs(static_cast<int>(sample)));
  constexpr int kQuiet = 64;
  auto at = [&](size_t AFrame) { return static_cast<int>(ASamples[AFrame * AChannels]); };
  size_t first = frames, last = 0;
  for (size_t i = 0; i < frames; ++i)
    if (std::abs(at(i)) > kQuiet) {
      if (first == frames) first = i;
      last = i;
    }
  if (first >= last) return result;
  result.Seconds = static_cast<double>(last - first + 1) / ARate;
  double sum = 0;
  int crossings = 0, sign = 0;
  size_t quietRun = 0, longestQuiet = 0;
  for (size_t i = first; i <= last; ++i) {
    const int value = at(i);
    sum += static_cast<double>(value) * value;
    // Crossings with a little hysteresis, so that noise near zero does not count.
    const int now = value > kQuiet ? 1 : (value < -kQuiet ? -1 : 0);
    if (now != 0) {
      if (sign != 0 && now != sign) ++crossings;
      sign = now;
    }
    quietRun = std::abs(value) <= kQuiet ? quietRun + 1 : 0;
    longestQuiet = std::max(longestQuiet, quietRun);
  }
  result.Rms = std::sqrt(sum / static_cast<double>(last - first + 1));
  result.FrequencyHz = crossings / 2.0 / result.Seconds;
  result.LongestGapMs = 1000.0 * static_cast<double>(longestQuiet) / ARate;
  return result;
}

namespace {
testmedia::ClipSpec ToneSpec(double ASeconds) {
  testmedia::ClipSpec spec;
  spec.container = "mkv";
  spec.durationSec = ASeconds;
  spec.toneHz = 1000;
  return spec;
}
}  // namespace

std::string ToneClip() { return testmedia::CachedClip(ToneSpec(3.0)); }
std::string LongClip() { return testmedia::CachedClip(ToneSpec(10.0)); }

std::string AudioOnlyClip() {
  testmedia::ClipSpec spec;
  spec.container = "wav";
  spec.video = false;
  spec.durationSec = 1.5;
  return testmedia::CachedClip(spec);
}

std::string AnamorphicClip() {
  testmedia::ClipSpec spec;
  spec.container = "mkv";
  spec.width = 720;
  spec.height = 576;
  spec.sarNum = 16;
  spec.sarDen = 15;
  spec.durationSec = 1.0;
  return testmedia::CachedClip(spec);
}

}  // namespace playertest
