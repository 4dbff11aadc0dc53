#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "acquisition/ConnectionRecord.h"
#include "logging/ConnectionLogger.h"
#include "settings/SettingsStore.h"
#include "support/RecordingNotifier.h"
#include "workers/WorkerHub.h"

namespace tarvik::testing {

using RecordingNotifier = test::RecordingNotifier;

// A clock that moves only when the test says so.
class FakeClock {
public:
    using TimePoint = CCategoryLog::Clock::time_point;
    TimePoint Now() const { return TimePoint(std::chrono::milliseconds(elapsedMs_.load())); }
    void Advance(std::chrono::milliseconds step) { elapsedMs_ += step.count(); }

private:
    std::atomic<long long> elapsedMs_{1'000'000};
};

// The write under every log line: passes to write(2), or plays a full disk that takes the
// first `acceptBeforeFull` bytes of a write and then fails with ENOSPC.
class ScriptedWriter {
public:
    enum class Mode { Pass, Full };

    void SetMode(Mode mode, std::size_t acceptBeforeFull = 0) {
        acceptBeforeFull_ = acceptBeforeFull;
        mode_ = mode;
    }
    // The next `count` writes fail with ENOSPC, whatever the mode.
    void FailNext(int count) { failuresLeft_ = count; }
    int Calls() const { return calls_; }
    // Waits, for at most 10 s, until the writes that went through hold `count` line ends.
    bool WaitForLineEnds(long count) {
        std::unique_lock lock(mutex_);
        return written_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return lineEnds_ >= count; });
    }

    ssize_t Write(int fd, const void* data, std::size_t size) {
        ++calls_;
        if (failuresLeft_ > 0) {
            --failuresLeft_;
            errno = ENOSPC;
            return -1;
        }
        if (mode_ == Mode::Pass) {
            const ssize_t done = ::write(fd, data, size);
            if (done > 0) {
                const auto* bytes = static_cast<const char*>(data);
                std::lock_guard lock(mutex_);
                lineEnds_ += std::count(bytes, bytes + done, '\n');
                written_.notify_all();
            }
            return done;
        }
        if (acceptBeforeFull_ > 0) {
            const std::size_t part = std::min(size, acceptBeforeFull_);
            acceptBeforeFull_ = 0;
            return ::write(fd, data, part);
        }
        errno = ENOSPC;
        return -1;
    }

private:
    std::atomic<Mode> mode_{Mode::Pass};
    std::size_t acceptBeforeFull_ = 0;
    std::atomic<int> calls_{0};
    std::atomic<int> failuresLeft_{0};
    std::mutex mutex_;
    std::condition_variable written_;
    long lineEnds_ = 0;  // under mutex_
};

inline const std::string kHeaderLine =
    "Open Time, Close Time, Remote Address, Remote Hostname, Remote Port, Network Interface, "
    "Local Port, Service Type\n";

// A settings store over a missing file, every category logging daily into a fresh directory, and a
// notifier that records what the user would be shown.
class LoggerTest : public ::testing::Test {
protected:
    LoggerTest()
        : store_(
              install_.Path() / "Tarvik.conf", [] { return std::vector<std::string>{}; },
              install_.Path()) {
        UseZone("UTC");
        hub_.SetUserNotifier(notifier_);
        for (LogCategory category :
             {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
            store_.SetLogEnabled(category, 1);
            store_.SetLogType(category, 1);
            store_.SetLogRotation(category, 0);
            store_.SetLogFolder(category, dir_.Path().string());
            store_.SetLogPorts(category, {});
        }
    }

    static CConnectionRecord Record(Category category, std::time_t closeTime, int localPort = 21,
                                    int remotePort = 1234) {
        CConnectionRecord record;
        record.category = category;
        record.openTime = closeTime - 123;
        record.closeTime = closeTime;
        record.localPort = localPort;
        record.remotePort = remotePort;
        record.ipAddress = "192.168.1.20";
        record.hostName = "192.168.1.20";
        record.interfaceText = "192.168.1.5";
        record.serviceText = "inbound ftp";
        return record;
    }

    std::string Log(const std::string& name) const { return ReadFile(dir_.Path() / name); }

    // Seams for a logger that the test paces and whose disk it can fill.
    LoggerHooks Hooks() {
        return {[this] { return clock_.Now(); },
                [this](int fd, const void* data, std::size_t size) {
                    return writer_.Write(fd, data, size);
                }};
    }

    // The messages so far that contain `text`.
    std::size_t MessagesWith(const std::string& text) const {
        std::size_t count = 0;
        for (const std::string& message : notifier_->Messages()) {
            count += message.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    TempDir install_;  // settings file and install folder, apart from the logs
    TempDir dir_;      // every category's log folder
    std::shared_ptr<RecordingNotifier> notifier_ = std::make_shared<RecordingNotifier>();
    CWorkerHub hub_;
    CSettingsStore store_;
    FakeClock clock_;
    ScriptedWriter writer_;
};

}  // namespace tarvik::testing
