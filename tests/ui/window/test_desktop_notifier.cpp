#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <mutex>
#include <thread>

#include "support/WindowTestSupport.h"
#include "ui/window/DesktopNotifier.h"
#include "ui/window/SystemTray.h"

namespace tarvik {
namespace {

using test::WaitFor;

// Stands in for the desktop's notification service: keeps the arguments of every Notify call.
class FakeNotifications : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QStringLiteral("Notify")) {
            return false;
        }
        calls.push_back(message.arguments());
        connection.send(message.createReply(QVariant::fromValue(1u)));
        return true;
    }
    std::vector<QList<QVariant>> calls;  // GUI thread only
};

// A session bus of the test's own, ended with the object.
class PrivateBus {
public:
    PrivateBus() {
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (!daemon_.waitForStarted(5000)) {
            return;
        }
        while (!daemon_.canReadLine() && daemon_.waitForReadyRead(5000)) {
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) {
            daemon_.kill();
            daemon_.waitForFinished(5000);
        }
    }
    const QString& Address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

TEST(DesktopNotifier, WithoutATrayAlertsGoToTheNotificationService) {
    test::TestApp();
    PrivateBus bus;
    if (bus.Address().isEmpty()) {
        GTEST_SKIP() << "no D-Bus session bus could be started (is dbus-daemon installed?)";
    }
    QDBusConnection service = QDBusConnection::connectToBus(bus.Address(), "fake-notifications");
    ASSERT_TRUE(service.isConnected());
    FakeNotifications fake;
    ASSERT_TRUE(service.registerVirtualObject(CDesktopNotifier::kPath, &fake));
    ASSERT_TRUE(service.registerService(CDesktopNotifier::kService));
    // The window's own connection is the session bus named in its environment.
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.Address().toUtf8());

    CWorkerHub hub;
    test::TempSettings settings;
    auto log = std::make_shared<test::FakeWorkersLog>();
    CTarvikView view(settings.Store(), hub, test::FakeFactory(log),
                     [] { return std::make_unique<CSystemTray>(nullptr, [] { return false; }); });
    view.show();
    ASSERT_EQ(view.Tray(), nullptr);
    std::thread([&hub] {
        hub.ShowBalloon("Tarvik: Scan Alert", "Scan from 192.0.2.8", 10);
    }).join();
    ASSERT_TRUE(WaitFor([&fake] { return !fake.calls.empty(); }));
    const QList<QVariant>& call = fake.calls[0];
    ASSERT_EQ(call.size(), 8);
    EXPECT_EQ(call[0].toString(), "Tarvik");               // application
    EXPECT_EQ(call[3].toString(), "Tarvik: Scan Alert");   // summary
    EXPECT_EQ(call[4].toString(), "Scan from 192.0.2.8");  // body
    EXPECT_EQ(call[7].toInt(), 10000);                     // expiry, ms
    view.StopWorkers();
    view.CloseStep();
    service.unregisterService(CDesktopNotifier::kService);
    QDBusConnection::disconnectFromBus("fake-notifications");
}

}  // namespace
}  // namespace tarvik
