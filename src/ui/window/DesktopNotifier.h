#pragma once

#include <QDBusConnection>
#include <functional>
#include <memory>
#include <string>

#include "workers/WorkerHub.h"

namespace tarvik {

// The scan alerts' balloon where the desktop has no tray: a notification through the desktop's
// notification service (org.freedesktop.Notifications on the session bus). Safe from any thread:
// the call is made on the GUI thread and never waited for, so a missing or slow service costs
// the scan watcher nothing.
class CDesktopNotifier : public IBalloonSink {
public:
    using BusSource = std::function<QDBusConnection()>;

    // `bus` gives the connection at the first notification (the session bus unless given).
    explicit CDesktopNotifier(BusSource bus = {});

    // False when the call could not be queued; whether the service took it is not awaited.
    bool ShowBalloon(const std::string& title, const std::string& text,
                     int timeoutSeconds) override;

    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace tarvik
