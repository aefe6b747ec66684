#pragma once
// Helpers of the player suite: waiting while serving the hand-over queue,
// recording a player's events, and reading back what SDL's disk audio
// driver received.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "player/FFPlay.h"
#include "tests/media/TestMedia.h"

namespace playertest {

// The file SDL's disk audio driver writes (rewritten at each device open).
const std::string& DiskAudioFile();

// Waits until APredicate holds or ASeconds have passed, serving the
// hand-over queue (OnPosition and OnFileOpen arrive there). Returns APredicate().
bool WaitUntil(const std::function<bool()>& APredicate, double ASeconds);
void Wait(double ASeconds);

int ThreadCount();
std::u16string Wide(const std::string& APath);

// Records the events of a player. States arrive on the player's threads,
// positions and file opens on the main thread.
class TPlayerRecorder {
 public:
  explicit TPlayerRecorder(TFFPlayer& APlayer);
  std::vector<TPlayState> States() const;
  int StateCount(TPlayState AState) const;
  bool Has(TPlayState AState) const { return StateCount(AState) > 0; }

  std::vector<int64_t> Positions;  // microseconds
  int64_t LastPosition() const { return Positions.empty() ? -1 : Positions.back(); }
  int FileOpens = 0;
  int64_t Duration = 0;
  int FrameWidth = 0, FrameHeight = 0;

 private:
  mutable std::mutex FLock;
  std::vector<TPlayState> FStates;
};

// What the disk audio file holds: interleaved signed 16-bit samples.
std::vector<int16_t> ReadDiskAudio();

struct TToneAnalysis {
  double Seconds = 0;      // from the first to the last sound of channel 0
  double FrequencyHz = 0;  // by zero crossings
  double Rms = 0;
  double LongestGapMs = 0;  // the longest silence inside the sound
  int Peak = 0;             // over every channel
};
TToneAnalysis AnalyseTone(const std::vector<int16_t>& ASamples, int AChannels, int ARate);

// Clips of the suite (generated once, cached).
std::string ToneClip();        // 3 s, 320x240, stereo 44.1 kHz 1 kHz tone (mkv)
std::string LongClip();        // 10 s of the same
std::string AudioOnlyClip();   // 1.5 s wav, stereo
std::string AnamorphicClip();  // 1 s 720x576 with a 16:15 sample aspect ratio

}  // namespace playertest
