#include "app/Settings.h"

#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <stdexcept>

#include "runtime/FFUtils.h"
#include "runtime/IniFile.h"

namespace {

std::string LocalPath(const QString& APath) { return SystemPath(APath.toStdU16String()); }

QString WithTrailingSlash(const QString& APath) {
  return APath.endsWith(QLatin1Char('/')) ? APath : APath + QLatin1Char('/');
}

}  // namespace

TAppEnvironment TAppEnvironment::FromSystem() {
  TAppEnvironment Env;
  Env.ExeDir = QString::fromStdU16String(ModuleDir());
  Env.UserConfigDir = DefaultUserConfigDir();
  return Env;
}

void TAppEnvironment::NormalizeFolders() {
  ExeDir = WithTrailingSlash(ExeDir);
  UserConfigDir = WithTrailingSlash(UserConfigDir);
}

QString DefaultUserConfigDir() {
  QString Base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (Base.isEmpty() || !QDir::isAbsolutePath(Base)) {
    QString Home = qEnvironmentVariable("HOME");
    if (Home.isEmpty()) Home = QDir::homePath();
    Base = WithTrailingSlash(Home) + QStringLiteral(".config");
  }
  return WithTrailingSlash(Base) + QStringLiteral("vidmill/");
}

bool CanWriteFile(const QString& AFileName) {
  const QFileInfo Info(AFileName);
  if (::access(LocalPath(Info.absolutePath()).c_str(), W_OK) != 0) return false;
  return !Info.exists() || ::access(LocalPath(AFileName).c_str(), W_OK) == 0;
}

TAppSettings::TAppSettings(TAppEnvironment AEnv) : FEnv(std::move(AEnv)) {
  FEnv.NormalizeFolders();
  FFileName = QFileInfo(UserFileName()).isFile() ? UserFileName() : ExeFileName();
  FIni = std::make_unique<TIniFile>(LocalPath(FFileName));
}

TAppSettings::~TAppSettings() = default;

QString TAppSettings::ExeFileName() const { return FEnv.ExeDir + QLatin1String(kSettingsFileName); }

QString TAppSettings::UserFileName() const { return FEnv.UserConfigDir + QLatin1String(kSettingsFileName); }

QString TAppSettings::FileName() const { return FFileName; }

QString TAppSettings::ReadString(const QString& AIdent, const QString& ADefault) const {
  return QString::fromStdString(FIni->ReadString(kSettingsSection, AIdent.toStdString(), ADefault.toStdString()));
}

int TAppSettings::ReadInteger(const QString& AIdent, int ADefault) const {
  return FIni->ReadInteger(kSettingsSection, AIdent.toStdString(), ADefault);
}

bool TAppSettings::CanWrite(const QString& AFileName) const {
  return FEnv.IsWritable ? FEnv.IsWritable(AFileName) : CanWriteFile(AFileName);
}

QString TAppSettings::WriteString(const QString& AIdent, const QString& AValue) {
  if (FFileName == ExeFileName() && !CanWrite(FFileName)) {
    // Carry the shipped settings over into the user's own file and keep
    // using that one from now on.
    if (!QDir().mkpath(FEnv.UserConfigDir))
      throw std::runtime_error("Cannot create the folder " + LocalPath(FEnv.UserConfigDir));
    FIni->SaveAs(LocalPath(UserFileName()));
    FFileName = UserFileName();
    FIni = std::make_unique<TIniFile>(LocalPath(FFileName));
  }
  FIni->WriteString(kSettingsSection, AIdent.toStdString(), AValue.toStdString());
  return FFileName;
}

TThreadPriority ConvertPriorityFromSetting(int AValue) {
  const auto LowByte = static_cast<uint8_t>(static_cast<unsigned>(AValue) & 0xFFu);
  return LowByte <= tpNormal ? static_cast<TThreadPriority>(LowByte) : tpNormal;
}
