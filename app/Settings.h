#pragma once
// The settings file Config.ini and where it lives.
//
// The program ships a Config.ini beside its executable. A user's own copy in
// $XDG_CONFIG_HOME/vidmill/ (~/.config/vidmill/ by default) takes precedence
// when it exists. The output folder ("dir") is written back on close: to the
// file that was read when it can be written; when the file beside the
// executable cannot be written (an installed program), the user's copy is
// created from it, so that every other key carries over, and written instead.
// All keys live in the section "Config".

#include <QString>
#include <functional>
#include <memory>

#include "runtime/Threads.h"

class TIniFile;

// Where the program finds its files. Tests build one on temporary folders.
struct TAppEnvironment {
  // The executable's folder, ending in "/".
  QString ExeDir;
  // The user's settings folder, ending in "/".
  QString UserConfigDir;
  // The folder against which a relative output-folder text is checked and
  // created at start-up; empty: the process's current directory.
  QString CurrentDir;
  // Whether AFileName can be written (created or replaced). Empty: the
  // default check, CanWriteFile.
  std::function<bool(const QString& AFileName)> IsWritable;

  // Makes ExeDir and UserConfigDir end in "/".
  void NormalizeFolders();

  // The running program's environment.
  static TAppEnvironment FromSystem();
};

// $XDG_CONFIG_HOME/vidmill/ when that variable holds an absolute path,
// otherwise $HOME/.config/vidmill/.
QString DefaultUserConfigDir();

// True when the folder of AFileName is writable and AFileName is either
// absent or writable itself.
bool CanWriteFile(const QString& AFileName);

inline constexpr const char* kSettingsFileName = "Config.ini";
inline constexpr const char* kSettingsSection = "Config";

class TAppSettings {
 public:
  // Opens the settings: the user's file when it exists, else the one beside
  // the executable (which may be missing: every key then reads as default).
  explicit TAppSettings(TAppEnvironment AEnv);
  ~TAppSettings();
  TAppSettings(const TAppSettings&) = delete;
  TAppSettings& operator=(const TAppSettings&) = delete;

  QString ExeFileName() const;
  QString UserFileName() const;
  // The file the settings were read from (and are written to, unless that
  // is the one beside the executable and it cannot be written).
  QString FileName() const;

  QString ReadString(const QString& AIdent, const QString& ADefault) const;
  int ReadInteger(const QString& AIdent, int ADefault) const;

  // Writes one key in section "Config" and returns the file written. Throws
  // std::runtime_error with the system's message when it cannot be written.
  QString WriteString(const QString& AIdent, const QString& AValue);

 private:
  bool CanWrite(const QString& AFileName) const;

  TAppEnvironment FEnv;
  QString FFileName;
  std::unique_ptr<TIniFile> FIni;
};

// Worker-thread priority of a "Thread_Priority" value: its low byte 0 to 3
// gives tpIdle, tpLowest, tpLower or tpNormal; every other value (the
// default -1 among them) gives tpNormal.
TThreadPriority ConvertPriorityFromSetting(int AValue);
