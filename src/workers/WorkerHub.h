#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "workers/WorkerRegistry.h"

namespace tarvik {

// Receives the messages that the user must see (a log file that cannot be created). The window
// shows a message box; the headless monitor writes standard error and the system log. Called
// from worker threads: implementations must not block on the user.
class IUserNotifier {
public:
    virtual ~IUserNotifier() = default;
    virtual void ShowMessage(const std::string& text) = 0;
};

// The tray balloon; a no-op until the window sets one. Called from the scan watcher's thread.
class IBalloonSink {
public:
    virtual ~IBalloonSink() = default;
    virtual bool ShowBalloon(const std::string& title, const std::string& text,
                             int timeoutSeconds) = 0;
};

// What the workers of one program share besides the settings: the registered workers that
// published values reach, the trace and the services the hosting program sets (user messages,
// the tray balloon).
//
// Every member is safe from any thread.
class CWorkerHub {
public:
    CWorkerHub() = default;
    CWorkerHub(const CWorkerHub&) = delete;
    CWorkerHub& operator=(const CWorkerHub&) = delete;

    CWorkerRegistry& Registry() { return registry_; }
    void Register(CWorkerThread* worker) { registry_.Register(worker); }
    template <class T>
    void Publish(T value) {
        registry_.Publish(std::move(value));
    }
    template <class... Ts>
    void PublishAll(std::vector<std::variant<Ts...>> values) {
        registry_.PublishAll(std::move(values));
    }
    void QuitAll() { registry_.QuitAll(); }
    void Clear() { registry_.Clear(); }
    void Trace(std::string_view text) const { registry_.Trace(text); }
    void SetTraceSink(std::function<void(std::string_view)> sink) {
        registry_.SetTraceSink(std::move(sink));
    }

    void SetUserNotifier(std::shared_ptr<IUserNotifier> notifier);
    void NotifyUser(const std::string& text) const;
    void SetBalloonSink(std::shared_ptr<IBalloonSink> sink);
    bool ShowBalloon(const std::string& title, const std::string& text, int timeoutSeconds) const;

private:
    CWorkerRegistry registry_;

    mutable std::mutex servicesMutex_;
    std::shared_ptr<IUserNotifier> notifier_;
    std::shared_ptr<IBalloonSink> balloon_;
};

}  // namespace tarvik
