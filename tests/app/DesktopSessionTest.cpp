// The desktop session on a private bus: what the screen saver, the power
// manager and the notification service of a fake desktop are asked, and
// that a desktop without them, or with services that never answer, holds up
// nothing.

#include "app/DesktopSession.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace {

// A bus of the test's own, with no services that the bus would start on
// demand: nothing of the machine's desktop takes part.
class TPrivateBus {
 public:
  TPrivateBus() {
    const QString Daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (Daemon.isEmpty()) return;
    const QString Config = QString::fromStdString(FFolder / "bus.conf");
    QFile File(Config);
    if (!File.open(QIODevice::WriteOnly)) return;
    const QByteArray Listen = "<listen>unix:dir=" + QByteArray::fromStdString(FFolder.Path().string()) + "</listen>";
    File.write("<busconfig><type>session</type>" + Listen +
               "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
    File.close();
    FDaemon.start(Daemon, {QStringLiteral("--config-file=") + Config, QStringLiteral("--nofork"),
                           QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    while (!FDaemon.canReadLine() && FDaemon.waitForReadyRead(5000)) {
    }
    FAddress = QString::fromUtf8(FDaemon.readLine()).trimmed();
  }
  ~TPrivateBus() {
    FDaemon.kill();
    FDaemon.waitForFinished();
  }
  TPrivateBus(const TPrivateBus&) = delete;
  TPrivateBus& operator=(const TPrivateBus&) = delete;

  bool Running() const { return !FAddress.isEmpty(); }
  const QString& Address() const { return FAddress; }

 private:
  TTempFolder FFolder{"vidmill-bus"};
  QProcess FDaemon;
  QString FAddress;
};

// A connection to the private bus under a name of its own, closed with the
// object.
class TBusConnection {
 public:
  TBusConnection(const QString& AAddress, const QString& AName)
      : FName(AName), FBus(QDBusConnection::connectToBus(AAddress, AName)) {}
  ~TBusConnection() { QDBusConnection::disconnectFromBus(FName); }
  TBusConnection(const TBusConnection&) = delete;
  TBusConnection& operator=(const TBusConnection&) = delete;

  QDBusConnection& Bus() { return FBus; }

 private:
  QString FName;
  QDBusConnection FBus;
};

// A call as text, "Interface.Member(argument, ...)"; arguments of a
// compound type show their signature.
std::string CallText(const QDBusMessage& AMessage) {
  QStringList Arguments;
  for (const QVariant& Argument : AMessage.arguments()) {
    if (Argument.metaType() == QMetaType::fromType<QDBusArgument>())
      Arguments << QLatin1Char('<') + Argument.value<QDBusArgument>().currentSignature() + QLatin1Char('>');
    else if (Argument.metaType() == QMetaType::fromType<QStringList>())
      Arguments << QLatin1Char('[') + Argument.toStringList().join(QLatin1Char(',')) + QLatin1Char(']');
    else
      Arguments << Argument.toString();
  }
  return (AMessage.interface() + QLatin1Char('.') + AMessage.member() + QLatin1Char('(') +
          Arguments.join(QStringLiteral(", ")) + QLatin1Char(')'))
      .toStdString();
}

// The screen saver, the power manager and the notification service of a
// desktop, on a connection of their own; their objects live on a thread of
// their own, so that they answer while the test's thread waits in a call.
// Each records the calls it gets. Answering, Inhibit gives cookies counting
// up from a number of each service's own (a cookie given back to the wrong
// service shows); silent, the services own their names but never answer.
class TFakeDesktop {
 public:
  TFakeDesktop(const QString& AAddress, bool AAnswers) : FConnection(AAddress, QStringLiteral("fake-desktop")) {
    FThread.start();
    const struct {
      const char* Service;
      const char* Path;
      uint FirstCookie;
    } Services[] = {
        {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", 100},
        {"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit", 200},
        {"org.freedesktop.Notifications", "/org/freedesktop/Notifications", 0},
    };
    for (const auto& Service : Services) {
      FObjects.push_back(std::make_unique<TServiceObject>(*this, AAnswers, Service.FirstCookie));
      FObjects.back()->moveToThread(&FThread);
      FPaths << QLatin1String(Service.Path);
      Registered = Registered && FConnection.Bus().registerVirtualObject(FPaths.back(), FObjects.back().get()) &&
                   FConnection.Bus().registerService(QLatin1String(Service.Service));
    }
  }
  ~TFakeDesktop() {
    for (const QString& Path : FPaths) FConnection.Bus().unregisterObject(Path);
    FThread.quit();
    FThread.wait();
  }
  TFakeDesktop(const TFakeDesktop&) = delete;
  TFakeDesktop& operator=(const TFakeDesktop&) = delete;

  // The calls so far, sorted by service (each service's in the order it
  // got them), and forgotten.
  std::vector<std::string> TakeCalls() {
    const std::lock_guard<std::mutex> Guard(FLock);
    std::vector<std::string> Calls = std::move(FCalls);
    FCalls.clear();
    const auto Service = [](const std::string& ACall) {
      const std::string Head = ACall.substr(0, ACall.find('('));
      return Head.substr(0, Head.rfind('.'));
    };
    std::stable_sort(Calls.begin(), Calls.end(),
                     [&](const std::string& A, const std::string& B) { return Service(A) < Service(B); });
    return Calls;
  }
  // Waits (at most 5 s) until a call has come.
  void WaitForCall() {
    QElapsedTimer Timer;
    Timer.start();
    while (Timer.elapsed() < 5000) {
      {
        const std::lock_guard<std::mutex> Guard(FLock);
        if (!FCalls.empty()) return;
      }
      QCoreApplication::processEvents();
      QThread::msleep(5);
    }
  }

  bool Registered = true;

 private:
  class TServiceObject : public QDBusVirtualObject {
   public:
    TServiceObject(TFakeDesktop& ADesktop, bool AAnswers, uint AFirstCookie)
        : FDesktop(ADesktop), FAnswers(AAnswers), FNextCookie(AFirstCookie) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& AMessage, const QDBusConnection& AConnection) override {
      {
        const std::lock_guard<std::mutex> Guard(FDesktop.FLock);
        FDesktop.FCalls.push_back(CallText(AMessage));
      }
      if (!FAnswers) return true;
      if (AMessage.member() == QLatin1String("Inhibit"))
        AConnection.send(AMessage.createReply(QVariant(FNextCookie++)));
      else if (AMessage.member() == QLatin1String("Notify"))
        AConnection.send(AMessage.createReply(QVariant(uint(1))));
      else
        AConnection.send(AMessage.createReply());
      return true;
    }

   private:
    TFakeDesktop& FDesktop;
    bool FAnswers;
    uint FNextCookie;
  };

  TBusConnection FConnection;
  QThread FThread;
  std::vector<std::unique_ptr<TServiceObject>> FObjects;
  QStringList FPaths;
  std::mutex FLock;
  std::vector<std::string> FCalls;  // under FLock
};

}  // namespace

TEST(DesktopSessionTest, InhibitHoldsOneCookiePerServiceUntilReleased) {
  TPrivateBus Bus;
  if (!Bus.Running()) GTEST_SKIP() << "dbus-daemon is not installed or did not start";
  TFakeDesktop Desktop(Bus.Address(), true);
  ASSERT_TRUE(Desktop.Registered);
  TBusConnection Client(Bus.Address(), QStringLiteral("desktop-session"));
  {
    TDesktopSession Session(Client.Bus(), false);
    Session.Inhibit(QStringLiteral("Converting"));
    EXPECT_TRUE(Session.Inhibited());
    Session.Inhibit(QStringLiteral("Converting again"));
    EXPECT_EQ(Desktop.TakeCalls(), (std::vector<std::string>{
                                       "org.freedesktop.PowerManagement.Inhibit.Inhibit(Vidmill, Converting)",
                                       "org.freedesktop.ScreenSaver.Inhibit(Vidmill, Converting)",
                                   }));
    Session.Release();
    EXPECT_FALSE(Session.Inhibited());
    Session.Release();
    EXPECT_EQ(Desktop.TakeCalls(), (std::vector<std::string>{
                                       "org.freedesktop.PowerManagement.Inhibit.UnInhibit(200)",
                                       "org.freedesktop.ScreenSaver.UnInhibit(100)",
                                   }));
    // Held anew, and given back when the session goes.
    Session.Inhibit(QStringLiteral("Next batch"));
    EXPECT_TRUE(Session.Inhibited());
    Desktop.TakeCalls();
  }
  EXPECT_EQ(Desktop.TakeCalls(), (std::vector<std::string>{
                                     "org.freedesktop.PowerManagement.Inhibit.UnInhibit(201)",
                                     "org.freedesktop.ScreenSaver.UnInhibit(101)",
                                 }));
}

TEST(DesktopSessionTest, NotifyShowsSummaryAndBody) {
  TPrivateBus Bus;
  if (!Bus.Running()) GTEST_SKIP() << "dbus-daemon is not installed or did not start";
  TFakeDesktop Desktop(Bus.Address(), true);
  ASSERT_TRUE(Desktop.Registered);
  TBusConnection Client(Bus.Address(), QStringLiteral("desktop-session"));
  TDesktopSession Session(Client.Bus(), false);
  Session.Notify(QStringLiteral("转换完成"), QStringLiteral("3 files converted"));
  Desktop.WaitForCall();
  EXPECT_EQ(Desktop.TakeCalls(),
            (std::vector<std::string>{"org.freedesktop.Notifications.Notify(Vidmill, 0, vidmill, 转换完成, 3 files "
                                      "converted, [], <a{sv}>, -1)"}));
}

// Without a bus, on a bus without the services, or with services that take
// the calls and never answer, nothing is held and no call waits for long (an
// answer is waited for half a second at most).
TEST(DesktopSessionTest, AbsentOrSilentServicesHoldUpNothing) {
  const struct {
    const char* Name;
    bool Bus;             // the session reaches its bus
    bool SilentServices;  // and on it, services that never answer
  } Cases[] = {{"no bus", false, false}, {"no services", true, false}, {"silent services", true, true}};
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    TPrivateBus Bus;
    if (!Bus.Running()) GTEST_SKIP() << "dbus-daemon is not installed or did not start";
    std::unique_ptr<TFakeDesktop> Desktop;
    if (Case.SilentServices) Desktop = std::make_unique<TFakeDesktop>(Bus.Address(), false);
    TBusConnection Client(Case.Bus ? Bus.Address() : Bus.Address() + QStringLiteral("-gone"),
                          QStringLiteral("desktop-session"));
    ASSERT_EQ(Client.Bus().isConnected(), Case.Bus);
    QElapsedTimer Timer;
    Timer.start();
    {
      TDesktopSession Session(Client.Bus(), false);
      Session.Inhibit(QStringLiteral("Converting"));
      EXPECT_FALSE(Session.Inhibited());
      Session.Notify(QStringLiteral("Done"), QStringLiteral("Body"));
      Session.Release();
    }
    EXPECT_LT(Timer.elapsed(), 4000);
    if (!Desktop) continue;
    // The silent services were asked (and the calls gave up on them); with
    // no cookie, nothing was given back.
    const std::vector<std::string> Calls = Desktop->TakeCalls();
    EXPECT_EQ(std::count_if(Calls.begin(), Calls.end(),
                            [](const std::string& ACall) { return ACall.find(".Inhibit(") != std::string::npos; }),
              2);
    EXPECT_TRUE(std::none_of(Calls.begin(), Calls.end(),
                             [](const std::string& ACall) { return ACall.find("UnInhibit") != std::string::npos; }));
  }
}
