#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "acquisition/ConnectionRecord.h"
#include "settings/SettingsStore.h"

namespace tarvik::testing {

class RecordingNotifier : public IUserNotifier {
public:
    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(text);
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
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
        store_.SetUserNotifier(notifier_);
        for (LogCategory category :
             {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
            store_.SetLogEnabled(category, 1);
            store_.SetLogType(category, 1);
            store_.SetLogRotation(category, 0);
            store_.SetLogFolder(category, dir_.Path().string());
            store_.SetLogPorts(category, {});
        }
    }

    static CConnectionRecord Record(int category, std::time_t closeTime, int localPort = 21,
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

    TempDir install_;  // settings file and install folder, apart from the logs
    TempDir dir_;      // every category's log folder
    std::shared_ptr<RecordingNotifier> notifier_ = std::make_shared<RecordingNotifier>();
    CSettingsStore store_;
};

}  // namespace tarvik::testing
