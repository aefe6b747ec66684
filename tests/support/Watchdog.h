#pragma once
// Ends the test process with a message when an armed time bound passes: a
// hang then fails the test and names what hung, instead of stalling the
// suite until CTest's timeout. Its thread lives as long as the watchdog, so
// a test that counts threads makes it before taking its baseline.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class TWatchdog {
 public:
  TWatchdog() : FThread([this] { Run(); }) {}
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FQuit = true;
    }
    FWake.notify_all();
    FThread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

  // AWhat must end within ALimit.
  void Arm(const std::string& AWhat, std::chrono::steady_clock::duration ALimit) {
    std::lock_guard<std::mutex> guard(FLock);
    FWhat = AWhat;
    FDeadline = std::chrono::steady_clock::now() + ALimit;
    FArmed = true;
    FWake.notify_all();
  }
  void Arm(const std::string& AWhat, double ASeconds) {
    Arm(AWhat,
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(ASeconds)));
  }
  void Disarm() {
    std::lock_guard<std::mutex> guard(FLock);
    FArmed = false;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FQuit) {
      if (!FArmed) {
        FWake.wait(lock);
        continue;
      }
      if (std::chrono::steady_clock::now() >= FDeadline) {
        std::fprintf(stderr, "\nHANG: %s did not end in time\n", FWhat.c_str());
        std::fflush(stderr);
        std::_Exit(3);
      }
      FWake.wait_until(lock, FDeadline);
    }
  }

  std::mutex FLock;
  std::condition_variable FWake;
  bool FQuit = false;
  bool FArmed = false;
  std::string FWhat;
  std::chrono::steady_clock::time_point FDeadline;
  std::thread FThread;
};
