#pragma once
// The command line of vidmill-cli: the same choices the main window offers
// (format tab, frame size, channels, bit rates, frame rate, TV norm, output
// folder), given as options, plus the number of parallel jobs, extra engine
// options, what is reported and how, and the source files. One table of
// option definitions makes the parser, the --help text, the man page and the
// bash completion.

#include <string>
#include <vector>

#include "converter/Profiles.h"

// How progress is shown: bars on a terminal and lines otherwise (Auto),
// lines always (Plain), or one JSON object per line on standard output.
enum class TCliProgress { Auto, Plain, Json };

struct TCliOptions {
  TProfileChoices Choices;          // the window's choices; folder kSameFolder by default
  int Jobs = 0;                     // parallel conversions; 0 = the number of processors
  int Threads = 0;                  // threads per codec of a file; 0 = processors / files at once
  std::vector<std::string> Extras;  // NAME=VALUE engine option lines of every output
  std::vector<std::string> Files;   // sources, in the order given (locale text)
  std::string ProbeFile;            // --probe FILE: describe it and convert nothing
  std::string OutFolder;            // --out as given (locale text); empty for --same-dir
  bool SameDir = false;             // --same-dir given
  TCliProgress Progress = TCliProgress::Auto;
  bool Verbose = false;            // the engine's log at info level on standard error
  std::string LogFile;             // the whole log at debug level, written to this file
  bool DryRun = false;             // plan and print, write nothing
  std::string GenerateMan;         // the build's: write the man page to this file
  std::string GenerateCompletion;  // the build's: write the bash completion to this file
  bool Help = false;
  bool Version = false;
};

// Parses the arguments after the program name. False with a one-line reason
// in AError for an unknown option, a missing or refused value (a size or
// rate that is not one of the window's items), or no file to convert.
bool ParseCliOptions(const std::vector<std::string>& AArgs, TCliOptions& AOptions, std::string& AError);

// The line of a refused command line: "vidmill-cli: AReason; see --help".
std::string CliRefusal(const std::string& AReason);

// The manual page vidmill-cli(1), in roff, and the bash completion script:
// both from the option definitions that make the parser and --help.
std::string CliManPage();
std::string CliBashCompletion();

// The --help text: the usage line, then one line for each option.
std::string CliUsage();
