// vidmill-cli: converts files from the command line with the output
// profiles of the Vidmill window, for scripts and servers.

#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>

#include "app/cli/CliBatch.h"
#include "app/cli/CliOptions.h"
#include "app/cli/CliVersion.h"
#include "runtime/Threads.h"

namespace {
void OnInterrupt(int) { TCliBatch::RequestStop(); }

// The build's man page and completion; the exit status.
int WriteTextFile(const std::string& APath, const std::string& AText) {
  std::FILE* file = std::fopen(APath.c_str(), "w");
  const bool written = file && std::fputs(AText.c_str(), file) >= 0;
  if (file && std::fclose(file) != 0) return 1;
  if (written) return 0;
  std::fprintf(stderr, "vidmill-cli: cannot write %s\n", APath.c_str());
  return 1;
}
}  // namespace

int main(int argc, char* argv[]) {
  std::setlocale(LC_ALL, "");
  SetMainThread();
  UseSmallPages();
  std::vector<std::string> args(argv + 1, argv + argc);
  TCliOptions options;
  std::string error;
  if (!ParseCliOptions(args, options, error)) {
    std::fputs(CliRefusal(error).c_str(), stderr);
    return 2;
  }
  if (options.Help) {
    std::fputs(CliUsage().c_str(), stdout);
    return 0;
  }
  if (!options.GenerateMan.empty() || !options.GenerateCompletion.empty()) {
    const bool man = !options.GenerateMan.empty();
    return WriteTextFile(man ? options.GenerateMan : options.GenerateCompletion,
                         man ? CliManPage() : CliBashCompletion());
  }
  if (options.Version) {
    std::fputs(CliVersionText().c_str(), stdout);
    return 0;
  }
  // Bars only where someone watches them.
  const bool terminal = options.Progress == TCliProgress::Auto && isatty(STDERR_FILENO) != 0;
  TCliBatch batch(options, stdout, stderr, stderr, terminal);
  if (!options.ProbeFile.empty()) return batch.Probe();
  // Ctrl-C stops the running conversions; their files keep what was written.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  return batch.Run();
}
