#pragma once
// The window's line to the desktop session over D-Bus: while a batch
// converts, the window asks the session not to blank the screen, idle-sleep
// or suspend (the screen saver, the power manager and, on the system bus,
// logind each hold an inhibit), and when the batch is done it tells the user
// with a desktop notification. Every service is optional: one that is not
// running is skipped without a word, and no call waits on a service for
// more than half a second, so a missing or stuck desktop never holds up the
// window for long.
//
// Used on the thread that created it (the window's). It needs the
// application object: create it after QApplication and free it before.

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <array>
#include <optional>

class TDesktopSession {
 public:
  // The session-bus services that hand out a cookie for an inhibit: the
  // screen saver and the power manager.
  static constexpr size_t kCookieServices = 2;

  // ASessionBus carries the screen saver, the power manager and the
  // notifications; with AUseSystemBus, logind on the system bus also holds
  // a sleep inhibit.
  explicit TDesktopSession(const QDBusConnection& ASessionBus = QDBusConnection::sessionBus(),
                           bool AUseSystemBus = true);
  // Releases what is held.
  ~TDesktopSession();
  TDesktopSession(const TDesktopSession&) = delete;
  TDesktopSession& operator=(const TDesktopSession&) = delete;

  // Asks every service that runs not to let the session idle or sleep,
  // AReason being what the user sees as the cause. Does nothing while an
  // inhibit is held.
  void Inhibit(const QString& AReason);
  // Gives back what Inhibit took; does nothing when nothing is held.
  void Release();
  // A service holds an inhibit for us.
  bool Inhibited() const;

  // Shows a desktop notification; the call does not wait for its answer.
  void Notify(const QString& ASummary, const QString& ABody);

 private:
  void InhibitCookieServices(const QString& AReason);
  void InhibitSleep(const QString& AReason);

  QDBusConnection FSessionBus;
  bool FUseSystemBus;
  std::array<std::optional<uint>, kCookieServices> FCookies;  // per service, while it holds an inhibit
  QDBusUnixFileDescriptor FSleepLock;                         // logind's; sleep is held off while it is open
};
