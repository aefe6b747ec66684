#include "bench/SamplingProfiler.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/time.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace bench {

namespace {

// State shared with the signal handler. The buffer is set before the
// handler is installed and cleared only after the timer is disarmed and the
// signal ignored, so the handler never sees it change.
uintptr_t* gBuffer = nullptr;
size_t gCapacity = 0;
std::atomic<size_t> gNext{0};
static_assert(std::atomic<size_t>::is_always_lock_free, "the handler needs a lock-free counter");

// Async-signal-safe: one atomic increment and one store into memory that
// was allocated and touched before sampling started.
void OnProfSignal(int, siginfo_t*, void* AContext) {
  const auto* context = static_cast<const ucontext_t*>(AContext);
#if defined(__x86_64__)
  const auto pc = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  const auto pc = static_cast<uintptr_t>(context->uc_mcontext.pc);
#else
#error "the sampling profiler reads the program counter of x86-64 and AArch64 only"
#endif
  const size_t at = gNext.fetch_add(1, std::memory_order_relaxed);
  if (at < gCapacity) gBuffer[at] = pc;
}

void SetTimer(int AIntervalUs) {
  itimerval timer{};
  timer.it_interval.tv_sec = AIntervalUs / 1000000;
  timer.it_interval.tv_usec = AIntervalUs % 1000000;
  timer.it_value = timer.it_interval;
  if (setitimer(ITIMER_PROF, &timer, nullptr) != 0)
    throw std::runtime_error(std::string("setitimer(ITIMER_PROF): ") + std::strerror(errno));
}

}  // namespace

TSamplingProfiler::TSamplingProfiler(size_t ACapacity, int AIntervalUs)
    : FSamples(ACapacity, 0), FIntervalUs(std::max(1, AIntervalUs)) {}

TSamplingProfiler::~TSamplingProfiler() {
  if (FRunning) Stop();
}

void TSamplingProfiler::Start() {
  if (FRunning) Stop();
  std::fill(FSamples.begin(), FSamples.end(), 0);
  gBuffer = FSamples.data();
  gCapacity = FSamples.size();
  gNext.store(0, std::memory_order_relaxed);

  struct sigaction action {};
  action.sa_sigaction = &OnProfSignal;
  // SA_RESTART: the library's and the engine's blocking calls must not see
  // EINTR because of the profiler.
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPROF, &action, nullptr) != 0)
    throw std::runtime_error(std::string("sigaction(SIGPROF): ") + std::strerror(errno));
  // ITIMER_PROF counts the CPU time of the whole process, and the signal is
  // taken by the thread that was running when the interval expired. The
  // encoder's own threads (libx264 runs its frame and lookahead threads)
  // are therefore sampled like the calling thread, in proportion to the
  // CPU time they use: the shares are shares of process CPU time.
  SetTimer(FIntervalUs);
  FRunning = true;
}

void TSamplingProfiler::Stop() {
  if (!FRunning) return;
  SetTimer(0);
  // Ignoring the signal discards one that is still pending; the default
  // action would end the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPROF, &ignore, nullptr);
  FRunning = false;
}

size_t TSamplingProfiler::Count() const { return std::min(gNext.load(std::memory_order_relaxed), FSamples.size()); }

size_t TSamplingProfiler::Dropped() const {
  const size_t taken = gNext.load(std::memory_order_relaxed);
  return taken > FSamples.size() ? taken - FSamples.size() : 0;
}

std::string ObjectBaseName(const std::string& APath) {
  const size_t slash = APath.rfind('/');
  std::string name = slash == std::string::npos ? APath : APath.substr(slash + 1);
  const size_t so = name.find(".so");
  if (so != std::string::npos && (so + 3 == name.size() || name[so + 3] == '.')) name.resize(so);
  return name;
}

std::vector<TObjectSamples> SamplesByObject(const TSamplingProfiler& AProfiler) {
  // The program's own load address: dladdr names the main program by
  // whatever it was started as, so it is recognised by its base instead.
  Dl_info self{};
  const void* programBase = dladdr(reinterpret_cast<void*>(&ObjectBaseName), &self) ? self.dli_fbase : nullptr;

  std::map<std::string, size_t> counts;
  std::map<const void*, std::string> names;  // object base -> name
  const size_t count = AProfiler.Count();
  for (size_t i = 0; i < count; ++i) {
    const uintptr_t pc = AProfiler.Samples()[i];
    Dl_info info{};
    std::string name = "(unknown)";
    if (pc != 0 && dladdr(reinterpret_cast<void*>(pc), &info) && info.dli_fbase) {
      auto known = names.find(info.dli_fbase);
      if (known == names.end()) {
        std::string found = info.dli_fbase == programBase       ? std::string("(program)")
                            : info.dli_fname && *info.dli_fname ? ObjectBaseName(info.dli_fname)
                                                                : std::string("(unknown)");
        known = names.emplace(info.dli_fbase, found).first;
      }
      name = known->second;
    }
    ++counts[name];
  }

  std::vector<TObjectSamples> result;
  for (const auto& [name, samples] : counts) result.push_back({name, samples});
  std::stable_sort(result.begin(), result.end(),
                   [](const TObjectSamples& a, const TObjectSamples& b) { return a.Samples > b.Samples; });
  return result;
}

}  // namespace bench
