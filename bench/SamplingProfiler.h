#pragma once
// A sampling profiler for the conversion benchmark: ITIMER_PROF raises
// SIGPROF after every interval of CPU time the process consumes (user and
// system time of all its threads together), and the handler records the
// program counter of the thread it interrupted. Once sampling has stopped,
// each recorded address is attributed with dladdr() to the shared object
// that contains it.
//
// One profiler may sample at a time (the signal handler has one buffer).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

class TSamplingProfiler {
 public:
  // ACapacity samples are allocated (and touched) up front: the handler
  // never allocates. Samples beyond the capacity are counted as dropped.
  TSamplingProfiler(size_t ACapacity, int AIntervalUs);
  ~TSamplingProfiler();
  TSamplingProfiler(const TSamplingProfiler&) = delete;
  TSamplingProfiler& operator=(const TSamplingProfiler&) = delete;

  // Forgets earlier samples, installs the handler and arms the timer.
  // Throws std::runtime_error when the system refuses either.
  void Start();
  // Disarms the timer; signals still pending are discarded.
  void Stop();

  size_t Count() const;    // samples recorded since Start
  size_t Dropped() const;  // samples lost because the buffer was full
  const std::vector<uintptr_t>& Samples() const { return FSamples; }
  int IntervalUs() const { return FIntervalUs; }

 private:
  std::vector<uintptr_t> FSamples;
  int FIntervalUs;
  bool FRunning = false;
};

// Samples of one shared object.
struct TObjectSamples {
  std::string Name;  // file name without folder and ".so..." suffix ("libavcodec");
                     // the running program is "(program)", unresolved addresses "(unknown)"
  size_t Samples = 0;
};

// The samples AProfiler recorded, attributed to the objects that contain
// them, the object with the most samples first.
std::vector<TObjectSamples> SamplesByObject(const TSamplingProfiler& AProfiler);

// "libavcodec" for "/usr/lib/x86_64-linux-gnu/libavcodec.so.59.37.100".
std::string ObjectBaseName(const std::string& APath);

}  // namespace bench
