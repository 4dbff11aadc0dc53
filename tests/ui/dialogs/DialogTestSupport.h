#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

#include "scan/ScanEvents.h"
#include "settings/SettingsStore.h"
#include "tracking/Events.h"
#include "ui/dialogs/DialogSeams.h"
#include "workers/Worker.h"
#include "workers/WorkerHub.h"
#include "workers/WorkerThread.h"

namespace tarvik::test {

// A settings store over a file in a fresh temporary folder, removed afterwards.
class TempSettings {
public:
    TempSettings() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvik-dialogs-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            folder_ = pattern;
        }
        store_ = Open();
    }
    ~TempSettings() {
        store_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    TempSettings(const TempSettings&) = delete;
    TempSettings& operator=(const TempSettings&) = delete;

    CSettingsStore& Store() { return *store_; }
    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path File() const { return folder_ / "Tarvik.conf"; }

    // A second store over the same file: what the next run of the program would load.
    std::unique_ptr<CSettingsStore> Open() const {
        return std::make_unique<CSettingsStore>(
            File(), [] { return std::vector<std::string>{}; }, folder_);
    }

private:
    std::filesystem::path folder_;
    std::unique_ptr<CSettingsStore> store_;
};

// Collects what would have been shown in message boxes.
class MessageRecorder {
public:
    MessageSink Sink() {
        return [this](QWidget*, const QString& text) { messages.push_back(text); };
    }
    std::vector<QString> messages;
};

// Counts scan-settings publications. Count() first sends a marker (a poll) through the same
// queue, so every publication made before the call has been handled when it returns.
class RecordingWorker : public CWorker<std::variant<ScanSettingsChanged, Poll>> {
public:
    RecordingWorker() : CWorker("recorder") {
        Subscribe<ScanSettingsChanged>();
        Subscribe<Poll>();
    }
    ~RecordingWorker() override { Stop(); }

    // -1 when the marker did not come back in time.
    int Count(CWorkerHub& hub) {
        std::unique_lock lock(mutex_);
        const int wanted = markers_ + 1;
        lock.unlock();
        hub.Publish(Poll{});
        lock.lock();
        if (!markerSeen_.wait_for(lock, std::chrono::seconds(5),
                                  [&] { return markers_ >= wanted; })) {
            return -1;
        }
        return scanSettingsChanged_;
    }

private:
    void Handle(std::variant<ScanSettingsChanged, Poll>& message) override {
        std::lock_guard lock(mutex_);
        if (std::holds_alternative<ScanSettingsChanged>(message)) {
            ++scanSettingsChanged_;
        } else {
            ++markers_;
            markerSeen_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable markerSeen_;
    int scanSettingsChanged_ = 0;
    int markers_ = 0;
};

}  // namespace tarvik::test
