#include "app/cli/CliOptions.h"

#include <charconv>
#include <memory>

#include <CLI/CLI.hpp>

#include "runtime/Text.h"

namespace {

bool ParsePositive(const std::string& AText, int& AValue) {
  int value = 0;
  const char* end = AText.data() + AText.size();
  auto [ptr, ec] = std::from_chars(AText.data(), end, value);
  if (ec != std::errc() || ptr != end || value <= 0) return false;
  AValue = value;
  return true;
}

// The index of the item that AValue names in a list whose first item means
// "automatic"; 0 when none does.
template <size_t N>
int ItemIndex(const std::array<std::string_view, N>& AItems, const std::string& AValue) {
  for (size_t i = 1; i < N; ++i)
    if (AItems[i] == AValue) return static_cast<int>(i);
  return 0;
}

std::string Lower(std::string AText) {
  for (char& c : AText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return AText;
}

std::string ApplyFormat(const std::string& AValue, TCliOptions& AOptions) {
  const std::string key = "." + Lower(AValue);
  for (size_t t = 0; t < kOutputKeys.size(); ++t)
    if (kOutputKeys[t] == key) {
      AOptions.Choices.TabIndex = static_cast<int>(t);
      return {};
    }
  return "unknown format \"" + AValue + "\" (3gp, mp4, avi, vcd, dvd, flv or wmv)";
}

std::string ApplySize(const std::string& AValue, TCliOptions& AOptions) {
  for (size_t s = 1; s < kFrameSizeItems.size(); ++s)
    if (FrameSizeOfItem(std::string(kFrameSizeItems[s])) == AValue) {
      SelectFrameSize(AOptions.Choices, static_cast<int>(s));
      return {};
    }
  return "frame size " + AValue + " is not one of the window's sizes";
}

std::string ApplyChannels(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue != "1" && AValue != "2") return "channels must be 1 or 2";
  AOptions.Choices.ChannelsIndex = AValue == "1" ? 1 : 2;
  return {};
}

std::string ApplyVideoKbps(const std::string& AValue, TCliOptions& AOptions) {
  int kbps = 0;
  if (!ParsePositive(AValue, kbps)) return "--video-kbps must be a positive whole number of kbit/s";
  AOptions.Choices.VideoBitrateChecked = true;
  AOptions.Choices.VideoBitrateText = AValue;
  return {};
}

std::string ApplyAudioKbps(const std::string& AValue, TCliOptions& AOptions) {
  int kbps = 0;
  if (!ParsePositive(AValue, kbps)) return "--audio-kbps must be a positive whole number of kbit/s";
  AOptions.Choices.AudioBitrateChecked = true;
  AOptions.Choices.AudioBitrateText = AValue;
  return {};
}

std::string ApplyRate(const std::string& AValue, TCliOptions& AOptions) {
  const int index = ItemIndex(kFrameRateItems, AValue);
  if (index == 0) return "frame rate " + AValue + " is not one of 10, 15, 25, 30";
  SelectFrameRate(AOptions.Choices, index);
  return {};
}

std::string ApplyNorm(const std::string& AValue, TCliOptions& AOptions) {
  static const char* const kNorms[] = {"auto", "pal", "ntsc"};
  const std::string norm = Lower(AValue);
  for (int n = 0; n < 3; ++n)
    if (norm == kNorms[n]) {
      AOptions.Choices.NormIndex = n;
      return {};
    }
  return "norm must be auto, pal or ntsc";
}

std::string ApplyOut(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue.empty()) return "--out needs a folder";
  AOptions.Choices.OutputFolder = FromLocal8Bit(AValue);
  AOptions.OutFolder = AValue;
  return {};
}

std::string ApplyJobs(const std::string& AValue, TCliOptions& AOptions) {
  return ParsePositive(AValue, AOptions.Jobs) ? std::string() : "--jobs must be a positive whole number";
}

std::string ApplyThreads(const std::string& AValue, TCliOptions& AOptions) {
  return ParsePositive(AValue, AOptions.Threads) ? std::string() : "--threads must be a positive whole number";
}

std::string ApplyExtra(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue.empty() || AValue[0] == '=') return "--extra needs NAME=VALUE";
  AOptions.Extras.push_back(AValue);
  return {};
}

std::string ApplyProbe(const std::string& AValue, TCliOptions& AOptions) {
  AOptions.ProbeFile = AValue;
  return {};
}

std::string ApplyProgress(const std::string& AValue, TCliOptions& AOptions) {
  static const char* const kModes[] = {"auto", "plain", "json"};
  for (int m = 0; m < 3; ++m)
    if (AValue == kModes[m]) {
      AOptions.Progress = static_cast<TCliProgress>(m);
      return {};
    }
  return "progress must be auto, plain or json";
}

std::string ApplyLog(const std::string& AValue, TCliOptions& AOptions) {
  if (AValue.empty()) return "--log needs a file";
  AOptions.LogFile = AValue;
  return {};
}

std::string ApplyGenerateMan(const std::string& AValue, TCliOptions& AOptions) {
  AOptions.GenerateMan = AValue;
  return {};
}

std::string ApplyGenerateCompletion(const std::string& AValue, TCliOptions& AOptions) {
  AOptions.GenerateCompletion = AValue;
  return {};
}

// What the bash completion offers after an option.
enum class TCompletion { Nothing, Words, Sizes, Folder, File };

// One option of the command line. A value option has a Value (its name in
// the help) and Apply (what it sets, or why the value is refused); a switch
// has neither and sets Flag. Hidden options are for the build only.
struct TOptionDef {
  const char* Name;
  const char* Value;
  const char* Help;
  std::string (*Apply)(const std::string& AValue, TCliOptions& AOptions) = nullptr;
  bool TCliOptions::*Flag = nullptr;
  TCompletion Completion = TCompletion::Nothing;
  const char* Words = "";  // the completion's words for TCompletion::Words
  bool Repeatable = false;
  bool Hidden = false;
};

const TOptionDef kOptionDefs[] = {
    {"--format", "3gp|mp4|avi|vcd|dvd|flv|wmv", "the output format tab (default 3gp)", ApplyFormat, nullptr,
     TCompletion::Words, "3gp mp4 avi vcd dvd flv wmv"},
    {"--size", "WxH", "frame size, one of the window's items (default: the format's)", ApplySize, nullptr,
     TCompletion::Sizes},
    {"--channels", "1|2", "audio channels", ApplyChannels, nullptr, TCompletion::Words, "1 2"},
    {"--video-kbps", "N", "video bit rate in kbit/s", ApplyVideoKbps},
    {"--audio-kbps", "N", "audio bit rate in kbit/s", ApplyAudioKbps},
    {"--rate", "10|15|25|30", "frame rate", ApplyRate, nullptr, TCompletion::Words, "10 15 25 30"},
    {"--norm", "auto|pal|ntsc", "TV norm of the VCD and DVD formats (default auto)", ApplyNorm, nullptr,
     TCompletion::Words, "auto pal ntsc"},
    {"--out", "DIR", "write the outputs into DIR, made when missing", ApplyOut, nullptr, TCompletion::Folder},
    {"--same-dir", nullptr, "write each output next to its source (the default)", nullptr, &TCliOptions::SameDir},
    {"--jobs", "N", "files converted at once (default: the number of processors)", ApplyJobs},
    {"--threads", "N", "threads per codec of a file (default: the processors shared)", ApplyThreads},
    {"--extra", "NAME=VALUE", "an engine option line for every output (repeatable)", ApplyExtra, nullptr,
     TCompletion::Nothing, "", true},
    {"--progress", "auto|plain|json", "bars on a terminal or lines; plain: lines; json: JSON lines on stdout",
     ApplyProgress, nullptr, TCompletion::Words, "auto plain json"},
    {"--verbose", nullptr, "print the engine's log at info level, with file and thread", nullptr,
     &TCliOptions::Verbose},
    {"--log", "FILE", "write the whole log at debug level to FILE (kept when the run fails)", ApplyLog, nullptr,
     TCompletion::File},
    {"--dry-run", nullptr, "probe and plan every file, print each output and its options, write nothing", nullptr,
     &TCliOptions::DryRun},
    {"--probe", "FILE", "print what the probe sees in FILE and convert nothing", ApplyProbe, nullptr,
     TCompletion::File},
    {"--version", nullptr, "print the program, engine and library versions", nullptr, &TCliOptions::Version},
    {"-h,--help", nullptr, "print this help", nullptr, &TCliOptions::Help},
    {"--generate-man", "FILE", "", ApplyGenerateMan, nullptr, TCompletion::Nothing, "", false, true},
    {"--generate-completion", "FILE", "", ApplyGenerateCompletion, nullptr, TCompletion::Nothing, "", false, true},
};

constexpr const char* kSummary = "Converts each FILE with the options the Vidmill window builds for the same choices.";
constexpr const char* kFooter =
    "Outputs are never overwritten: each gets a new name ending in _(new) or _(new_N).\n"
    "Exit status: 0 when every file converted, 1 otherwise, 2 for a refused command line.";

void AddOption(CLI::App& AApp, const TOptionDef& ADef, TCliOptions& AOptions) {
  CLI::Option* option = nullptr;
  if (ADef.Flag) {
    option = AApp.add_flag(ADef.Name, AOptions.*ADef.Flag, ADef.Help);
  } else {
    auto apply = [&ADef, &AOptions](const std::string& AValue) {
      const std::string error = ADef.Apply(AValue, AOptions);
      if (!error.empty()) throw CLI::ValidationError(error);
    };
    if (ADef.Repeatable) {
      option = AApp.add_option_function<std::vector<std::string>>(
          ADef.Name,
          [apply](const std::vector<std::string>& AValues) { std::for_each(AValues.begin(), AValues.end(), apply); },
          ADef.Help);
      option->allow_extra_args(false);
    } else {
      option = AApp.add_option_function<std::string>(ADef.Name, apply, ADef.Help);
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    option->type_name(ADef.Value);
  }
  if (ADef.Hidden) option->group("");
}

// The parser of the table; it writes into AOptions when it parses.
std::unique_ptr<CLI::App> MakeParser(TCliOptions& AOptions) {
  auto app = std::make_unique<CLI::App>(kSummary, "vidmill-cli");
  app->set_help_flag();  // --help is an option of the table
  app->footer(kFooter);
  app->get_formatter()->column_width(44);
  for (const TOptionDef& def : kOptionDefs) AddOption(*app, def, AOptions);
  app->add_option("FILE", AOptions.Files, "the source files, in the order they are converted")->type_name("");
  return app;
}

// One line for a refused command line, in the words of the old parser for
// the refusals the library words otherwise.
std::string RefusalText(const CLI::Error& AError, const CLI::App& AApp) {
  if (dynamic_cast<const CLI::ExtrasError*>(&AError) && !AApp.remaining().empty()) {
    const std::string arg = AApp.remaining().front();
    return "unknown option " + arg.substr(0, arg.find('='));
  }
  std::string text = AError.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&AError))
    return "option " + text.substr(0, text.find(':')) + " needs a value";
  return text;
}

}  // namespace

bool ParseCliOptions(const std::vector<std::string>& AArgs, TCliOptions& AOptions, std::string& AError) {
  AOptions = TCliOptions();
  AOptions.Choices.OutputFolder = std::u16string(kSameFolder);
  std::unique_ptr<CLI::App> app = MakeParser(AOptions);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(AArgs.rbegin(), AArgs.rend());
  try {
    app->parse(reversed);
  } catch (const CLI::Error& error) {
    AError = RefusalText(error, *app);
    return false;
  }
  if (AOptions.Help || AOptions.Version || !AOptions.GenerateMan.empty() || !AOptions.GenerateCompletion.empty())
    return true;
  if (AOptions.SameDir && !AOptions.OutFolder.empty()) {
    AError = "--out and --same-dir exclude each other";
    return false;
  }
  if (AOptions.ProbeFile.empty() && AOptions.Files.empty()) {
    AError = "no file to convert";
    return false;
  }
  return true;
}

std::string CliUsage() {
  TCliOptions options;
  return MakeParser(options)->help();
}

std::string CliRefusal(const std::string& AReason) { return "vidmill-cli: " + AReason + "; see --help\n"; }

namespace {

// AText for a roff line: backslashes and hyphens escaped, and a leading dot
// or quote kept from being read as a request.
std::string Roff(const std::string& AText) {
  std::string roff;
  for (const char c : AText) {
    if (c == '\\')
      roff += "\\e";
    else if (c == '-')
      roff += "\\-";
    else
      roff += c;
  }
  if (!roff.empty() && (roff[0] == '.' || roff[0] == '\'')) roff.insert(0, "\\&");
  return roff;
}

// The names of an option ("-h,--help": "-h" and "--help").
std::vector<std::string> NamesOf(const TOptionDef& ADef) {
  std::vector<std::string> names;
  std::string name;
  for (const char* c = ADef.Name;; ++c) {
    if (*c == ',' || *c == '\0') {
      names.push_back(name);
      name.clear();
      if (*c == '\0') break;
    } else {
      name += *c;
    }
  }
  return names;
}

std::string CompletionWords(const TOptionDef& ADef) {
  if (ADef.Completion != TCompletion::Sizes) return ADef.Words;
  std::string words;
  for (size_t s = 1; s < kFrameSizeItems.size(); ++s)
    words += (words.empty() ? "" : " ") + FrameSizeOfItem(std::string(kFrameSizeItems[s]));
  return words;
}

}  // namespace

std::string CliManPage() {
  std::string man = ".TH VIDMILL\\-CLI 1 \"\" \"Vidmill " VIDMILL_VERSION "\" \"User Commands\"\n";
  man += ".SH NAME\nvidmill\\-cli \\- convert video and audio files with the profiles of the Vidmill window\n";
  man += ".SH SYNOPSIS\n.B vidmill\\-cli\n[\\fIOPTION\\fR]... \\fIFILE\\fR...\n.br\n";
  man += ".B vidmill\\-cli \\-\\-probe\n\\fIFILE\\fR\n";
  man += ".SH DESCRIPTION\n" + Roff(kSummary) + "\n";
  man +=
      "Each converted file's path is printed on standard output; progress, the files that did not convert "
      "and a summary line go to standard error.\n";
  man += ".SH OPTIONS\n";
  for (const TOptionDef& def : kOptionDefs) {
    if (def.Hidden) continue;
    std::string names;
    for (const std::string& name : NamesOf(def)) names += (names.empty() ? "" : ", ") + ("\\fB" + Roff(name) + "\\fR");
    if (def.Value) names += " \\fI" + Roff(def.Value) + "\\fR";
    man += ".TP\n" + names + "\n" + Roff(def.Help) + "\n";
  }
  man +=
      ".SH PROGRESS AS JSON\nWith \\fB\\-\\-progress json\\fR standard output holds one JSON object per line and "
      "nothing else. Each has an \\fBevent\\fR: queued, started, progress, finished, failed, stopped, planned "
      "(\\fB\\-\\-dry\\-run\\fR) and, last, summary with the counts.\n";
  man +=
      ".SH EXIT STATUS\n0 when every file converted, 1 otherwise, 2 for a refused command line (nothing is "
      "converted then).\n";
  return man;
}

std::string CliBashCompletion() {
  std::string script =
      "# bash completion for vidmill-cli, made at build time from its option definitions\n"
      "_vidmill_cli() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "  case $prev in\n";
  std::string options;
  for (const TOptionDef& def : kOptionDefs) {
    if (def.Hidden) continue;
    for (const std::string& name : NamesOf(def)) options += (options.empty() ? "" : " ") + name;
    if (!def.Value) continue;
    script += "    " + std::string(def.Name) + ") ";
    switch (def.Completion) {
      case TCompletion::Words:
      case TCompletion::Sizes:
        script += "COMPREPLY=($(compgen -W '" + CompletionWords(def) + "' -- \"$cur\")) ;;\n";
        break;
      case TCompletion::Folder:
        script += "COMPREPLY=($(compgen -d -- \"$cur\")) ;;\n";
        break;
      case TCompletion::File:
        script += "COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n";
        break;
      case TCompletion::Nothing:
        script += "COMPREPLY=() ;;\n";
        break;
    }
  }
  script +=
      "    *) if [[ $cur == -* ]]; then\n"
      "         COMPREPLY=($(compgen -W '" +
      options +
      "' -- \"$cur\"))\n"
      "       else\n"
      "         COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      "       fi ;;\n"
      "  esac\n"
      "}\n"
      "complete -o filenames -F _vidmill_cli vidmill-cli\n";
  return script;
}
