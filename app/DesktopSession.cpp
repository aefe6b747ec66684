#include "app/DesktopSession.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>

#include "app/AppInfo.h"

namespace {

// How long a call waits for its answer. A service that has not answered by
// then is taken as absent: the window never waits longer on one.
constexpr int kCallTimeoutMs = 500;

struct TCookieService {
  const char* Service;
  const char* Path;
  const char* Interface;
};

// The screen saver keeps the screen on and the session from idling, the
// power manager keeps it from suspending. Both answer
// Inhibit(application, reason) with a cookie that UnInhibit(cookie) gives
// back.
constexpr std::array<TCookieService, TDesktopSession::kCookieServices> kCookieServiceTable = {{
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"},
    {"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
     "org.freedesktop.PowerManagement.Inhibit"},
}};

// The name of the program's desktop entry and icon, as installed.
const QString kDesktopEntry = QStringLiteral("vidmill");

// AService has an owner on ABus. Asked of the bus itself with the short
// timeout (QDBusConnectionInterface::isServiceRegistered would wait up to
// the default 25 s on a bus that does not answer).
bool Registered(const QDBusConnection& ABus, const QString& AService) {
  if (!ABus.isConnected()) return false;
  QDBusMessage Question =
      QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                     QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  Question << AService;
  const QDBusReply<bool> Reply = ABus.call(Question, QDBus::Block, kCallTimeoutMs);
  return Reply.isValid() && Reply.value();
}

QDBusMessage CookieCall(const TCookieService& AService, const QString& AMethod) {
  return QDBusMessage::createMethodCall(QLatin1String(AService.Service), QLatin1String(AService.Path),
                                        QLatin1String(AService.Interface), AMethod);
}

}  // namespace

TDesktopSession::TDesktopSession(const QDBusConnection& ASessionBus, bool AUseSystemBus)
    : FSessionBus(ASessionBus), FUseSystemBus(AUseSystemBus) {}

TDesktopSession::~TDesktopSession() { Release(); }

void TDesktopSession::Inhibit(const QString& AReason) {
  if (Inhibited()) return;
  InhibitCookieServices(AReason);
  if (FUseSystemBus) InhibitSleep(AReason);
}

void TDesktopSession::InhibitCookieServices(const QString& AReason) {
  for (size_t I = 0; I < kCookieServices; ++I) {
    const TCookieService& Service = kCookieServiceTable[I];
    if (!Registered(FSessionBus, QLatin1String(Service.Service))) continue;
    QDBusMessage Call = CookieCall(Service, QStringLiteral("Inhibit"));
    Call << AppInfo::kProgramName << AReason;
    const QDBusReply<uint> Reply = FSessionBus.call(Call, QDBus::Block, kCallTimeoutMs);
    if (Reply.isValid()) FCookies[I] = Reply.value();
  }
}

// logind holds off suspend and idle actions of the whole system (a laptop's
// lid, the idle timer of the login manager) as long as the descriptor it
// returns stays open.
void TDesktopSession::InhibitSleep(const QString& AReason) {
  // Connects on first use; without a system bus the connection is not
  // connected and Registered says no.
  const QDBusConnection SystemBus = QDBusConnection::systemBus();
  if (!SystemBus.connectionCapabilities().testFlag(QDBusConnection::UnixFileDescriptorPassing)) return;
  const QString Service = QStringLiteral("org.freedesktop.login1");
  if (!Registered(SystemBus, Service)) return;
  QDBusMessage Call =
      QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop/login1"),
                                     QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  Call << QStringLiteral("sleep:idle") << AppInfo::kProgramName << AReason << QStringLiteral("block");
  const QDBusReply<QDBusUnixFileDescriptor> Reply = SystemBus.call(Call, QDBus::Block, kCallTimeoutMs);
  if (Reply.isValid() && Reply.value().isValid()) FSleepLock = Reply.value();
}

void TDesktopSession::Release() {
  for (size_t I = 0; I < kCookieServices; ++I) {
    if (!FCookies[I]) continue;
    QDBusMessage Call = CookieCall(kCookieServiceTable[I], QStringLiteral("UnInhibit"));
    Call << *FCookies[I];
    FSessionBus.call(Call, QDBus::Block, kCallTimeoutMs);
    FCookies[I].reset();
  }
  // Closes our copy of the descriptor, the only one left: logind ends the
  // inhibit.
  FSleepLock = QDBusUnixFileDescriptor();
}

bool TDesktopSession::Inhibited() const {
  return FSleepLock.isValid() || std::any_of(FCookies.begin(), FCookies.end(),
                                             [](const std::optional<uint>& ACookie) { return ACookie.has_value(); });
}

void TDesktopSession::Notify(const QString& ASummary, const QString& ABody) {
  if (!FSessionBus.isConnected()) return;
  QDBusMessage Call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  // The desktop-entry hint files the notification under the program's entry
  // in the desktop's notification list.
  const QVariantMap Hints{{QStringLiteral("desktop-entry"), kDesktopEntry}};
  Call << AppInfo::kProgramName << uint(0) << kDesktopEntry << ASummary << ABody << QStringList() << Hints << -1;
  // The answer (the notification's id) is not needed and not waited for.
  // Without a notification service the bus answers with an error, which is
  // dropped; a service the bus starts on demand is started by the call.
  FSessionBus.asyncCall(Call, kCallTimeoutMs);
}
