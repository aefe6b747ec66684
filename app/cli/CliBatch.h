#pragma once
// The batch of vidmill-cli: every source is probed, planned and queued the
// way the main window does it at the start of a batch, then the converter
// runs up to the given number of tasks at once while this thread shows
// their progress (bars or lines on standard error, or JSON lines on standard
// output). A source that cannot be probed, opened or given an output fails
// on its own; the others still convert. Before anything starts, the output
// folder and each extra engine option are checked, and a refusal ends the
// run with status 2. A dry run stops after the plans, writing nothing.

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/CliOptions.h"
#include "app/cli/CliReport.h"

class TCliLog;
class TVidmill;

class TCliBatch {
 public:
  // Progress goes to AProgress (bars when ATerminal, plain lines
  // otherwise), output paths to AOut, how the files that did not convert
  // ended, the summary and the --verbose log to AErr.
  TCliBatch(const TCliOptions& AOptions, std::FILE* AOut, std::FILE* AErr, std::FILE* AProgress, bool ATerminal);

  // Loads the libraries, converts, reports. The exit status: 0 when every
  // file converted, 1 otherwise, 2 when the output folder cannot be made or
  // written or the engine refuses an --extra option (before anything is
  // converted).
  int Run();
  // --probe: prints the probe's information text; 0, or 1 when it cannot
  // be read.
  int Probe();

  // Asks a running batch to stop (any thread; safe from a signal handler).
  static void RequestStop();

  const std::vector<TCliFileResult>& Results() const { return FResults; }

 private:
  bool LoadLibraries(TVidmill& AVidmill);
  std::string Prepare(TCliLog& ALog);
  // --dry-run: probes and plans each source and prints its planned output
  // and option lines, writing nothing; 0, or 1 when a source cannot be read.
  int DryRun(TVidmill& AVidmill);
  // Prints the refusal line of AReason (and writes it to the log file);
  // the exit status 2.
  int Refuse(const std::string& AReason, TCliLog& ALog);

  TCliOptions FOptions;
  std::FILE* FOut;
  std::FILE* FErr;
  std::FILE* FProgress;
  bool FTerminal;
  std::vector<TCliFileResult> FResults;
};

// Why --out AFolder is refused (empty when it is not): the folder is made
// with its parents when missing, and must be a folder this user can write.
std::string OutFolderRefusal(const std::string& AFolder);
