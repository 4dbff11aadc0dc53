#pragma once

// Helpers for the window's widget tests: the application object, a settings file per test and
// stand-ins for the five workers.

#include <QApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "settings/SettingsStore.h"
#include "ui/window/TarvikView.h"
#include "workers/WorkerHub.h"

namespace tarvik::test {

// The application object made by the widget tests' main (support/QtTestMain.cpp).
inline QApplication& TestApp() {
    return *qobject_cast<QApplication*>(QCoreApplication::instance());
}

// Processes events until `done` holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A settings file in a fresh temporary folder, removed with the object.
class TempSettings {
public:
    explicit TempSettings(std::vector<std::string> interfaces = {"127.0.0.1"})
        : interfaces_(std::make_shared<std::vector<std::string>>(std::move(interfaces))) {
        std::random_device random;
        folder_ =
            std::filesystem::temp_directory_path() / ("tarvik-window-" + std::to_string(random()));
        std::filesystem::create_directories(folder_);
        Reopen();
    }
    ~TempSettings() {
        store_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    CSettingsStore& Store() { return *store_; }
    std::filesystem::path File() const { return folder_ / "Tarvik.conf"; }
    void SetInterfaces(std::vector<std::string> interfaces) {
        *interfaces_ = std::move(interfaces);
    }
    // A second store reading what is on disk now.
    std::unique_ptr<CSettingsStore> ReadBack() const {
        return std::make_unique<CSettingsStore>(
            File(), [] { return std::vector<std::string>{}; }, folder_);
    }
    void Reopen() {
        store_.reset();
        auto interfaces = interfaces_;
        store_ = std::make_unique<CSettingsStore>(
            File(), [interfaces] { return *interfaces; }, folder_);
    }

private:
    std::filesystem::path folder_;
    std::shared_ptr<std::vector<std::string>> interfaces_;
    std::unique_ptr<CSettingsStore> store_;
};

// Stand-in for the five workers: records what the view asks of it. Join runs on a thread of
// the view's; `joined` tells when it has returned.
struct FakeWorkersLog {
    int created = 0;
    IConnectionList* list = nullptr;
    std::vector<std::string> calls;
    std::function<void()> onQuit;
    std::function<void()> onJoin;
    std::atomic<bool> joined{false};
};

// A latch that a stuck worker waits on, for at most its own bound.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    bool WaitOpen(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        return opened_.wait_for(lock, bound, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

class FakeWorkers : public IWorkers {
public:
    explicit FakeWorkers(std::shared_ptr<FakeWorkersLog> log) : log_(std::move(log)) {}
    void Quit() override {
        log_->calls.push_back("quit");
        if (log_->onQuit) {
            log_->onQuit();
        }
    }
    void Join() override {
        log_->calls.push_back("join");
        if (log_->onJoin) {
            log_->onJoin();
        }
        log_->joined.store(true);
    }

private:
    std::shared_ptr<FakeWorkersLog> log_;
};

inline WorkersFactory FakeFactory(std::shared_ptr<FakeWorkersLog> log) {
    return [log](CSettingsStore&, CWorkerHub&, IConnectionList& list) {
        ++log->created;
        log->list = &list;
        return std::make_unique<FakeWorkers>(log);
    };
}

}  // namespace tarvik::test
