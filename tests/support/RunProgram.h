#pragma once
// Runs a program of the build (vidmill-cli) as a user would: its standard
// output and error go to files in a folder of the test (no pipe can fill
// up) and are read back when it has ended; after a time bound it is killed
// and the run reports TimedOut.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct TProgramRun {
  int Status = -1;  // the exit status; -1 after a signal or the time bound
  int Signal = 0;   // the signal that ended it, 0 if it exited
  bool TimedOut = false;
  double Seconds = 0;
  std::string Out, Err;

  // The non-empty lines of the standard output.
  std::vector<std::string> OutLines() const;
};

// The non-empty lines of AText.
inline std::vector<std::string> NonEmptyLines(const std::string& AText) {
  std::vector<std::string> lines;
  std::istringstream in(AText);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> TProgramRun::OutLines() const { return NonEmptyLines(Out); }

inline std::string ReadWholeFile(const std::filesystem::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// AWhileRunning, when given, is called with the program's process id every
// 20 ms while it runs (to send it a signal, say). AOpenFileLimit > 0 lowers
// the program's soft limit of open files to it (as a desktop session's
// limit does).
inline TProgramRun RunProgram(const char* AProgram, const std::vector<std::string>& AArgs,
                              const std::filesystem::path& AFolder, double ABoundSec = 300,
                              const std::function<void(pid_t)>& AWhileRunning = {}, rlim_t AOpenFileLimit = 0) {
  using TClock = std::chrono::steady_clock;
  const std::filesystem::path out = AFolder / "program.out", err = AFolder / "program.err";
  const auto start = TClock::now();
  const auto seconds = [&] { return std::chrono::duration<double>(TClock::now() - start).count(); };
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    if (o > STDERR_FILENO) close(o);
    if (e > STDERR_FILENO) close(e);
    if (AOpenFileLimit > 0) {
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = AOpenFileLimit;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(AProgram));
    for (const std::string& arg : AArgs) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(AProgram, argv.data());
    _exit(127);
  }
  TProgramRun run;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (seconds() > ABoundSec) {
      run.TimedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (AWhileRunning) AWhileRunning(pid);
  }
  run.Seconds = seconds();
  run.Status = !run.TimedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (!run.TimedOut && WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
  run.Out = ReadWholeFile(out);
  run.Err = ReadWholeFile(err);
  return run;
}
