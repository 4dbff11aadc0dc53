#include "ui/window/DesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>
#include <optional>

namespace tarvik {

// Touched on the GUI thread only.
struct CDesktopNotifier::Shared {
    BusSource source;
    std::optional<QDBusConnection> bus;

    void Notify(const QString& title, const QString& text, int timeoutSeconds) {
        if (!bus) {
            bus = source ? source() : QDBusConnection::sessionBus();
        }
        if (!bus->isConnected()) {
            return;
        }
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
        call << QStringLiteral("Tarvik") << 0u << QStringLiteral("tarvik") << title << text
             << QStringList() << QVariantMap() << timeoutSeconds * 1000;
        bus->send(call);  // the id it answers is of no use here
    }
};

CDesktopNotifier::CDesktopNotifier(BusSource bus) : shared_(std::make_shared<Shared>()) {
    shared_->source = std::move(bus);
}

bool CDesktopNotifier::ShowBalloon(const std::string& title, const std::string& text,
                                   int timeoutSeconds) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return false;
    }
    return QMetaObject::invokeMethod(
        app,
        [shared = shared_, title = QString::fromStdString(title),
         text = QString::fromStdString(text),
         timeoutSeconds] { shared->Notify(title, text, timeoutSeconds); },
        Qt::QueuedConnection);
}

}  // namespace tarvik
