#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/TableSource.h"
#include "tracking/WorkerThread.h"

namespace tarvik::testing {

// An address of either family in a row's form; all zero for text that is neither.
inline AddressBytes Address(const char* text) {
    AddressFamily family = AddressFamily::Ipv4;
    AddressBytes address{};
    ParseAddress(text, family, address);
    return address;
}

// A row; the family is IPv6 when the local address has a colon.
inline TcpRow Row(const char* local, int localPort, const char* remote, int remotePort,
                  TcpState state, std::uint64_t cookie = 0) {
    TcpRow row;
    row.family = std::strchr(local, ':') != nullptr ? AddressFamily::Ipv6 : AddressFamily::Ipv4;
    row.localAddress = Address(local);
    row.localPort = static_cast<std::uint16_t>(localPort);
    row.remoteAddress = Address(remote);
    row.remotePort = static_cast<std::uint16_t>(remotePort);
    row.state = state;
    row.cookie = cookie;
    return row;
}

// A fixture table whose reads fail on purpose: every Nth TCP dump.
class CFaultySource : public ITableSource {
public:
    explicit CFaultySource(std::vector<TcpRow> rows) : table_(std::move(rows)) {}

    std::optional<std::vector<TcpRow>> TcpRows() override {
        ++dumps_;
        if (failEveryNth > 0 && dumps_ % failEveryNth == 0) {
            return std::nullopt;
        }
        return table_.TcpRows();
    }
    int LastError() const override { return error; }

    int Dumps() const { return dumps_; }

    int failEveryNth = 0;  // 0: no dump fails
    int error = ENOBUFS;

private:
    CFixtureTableSource table_;
    int dumps_ = 0;
};

// Records the snapshot messages it receives.
class CSnapshotRecorder : public CWorkerThread {
public:
    struct Event {
        int number = 0;
        CConnectionRecord record;
    };

    CSnapshotRecorder() : CWorkerThread("recorder") {
        On(kMsgSnapshotBegin, [this](Message&) { Add({kMsgSnapshotBegin, {}}); });
        On(kMsgSnapshotEntry, [this](Message& message) {
            auto record = message.wParam.TakeRecord();
            Add({kMsgSnapshotEntry, record ? *record : CConnectionRecord{}});
        });
        On(kMsgSnapshotEnd, [this](Message&) { Add({kMsgSnapshotEnd, {}}); });
    }
    ~CSnapshotRecorder() override { Stop(); }

    // Waits until `count` snapshots have ended; false after the deadline.
    bool WaitForSnapshots(int count, std::chrono::seconds deadline = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return ends_ >= count; });
    }

    std::vector<Event> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    std::vector<CConnectionRecord> Records() const {
        std::vector<CConnectionRecord> records;
        for (const Event& event : Events()) {
            if (event.number == kMsgSnapshotEntry) {
                records.push_back(event.record);
            }
        }
        return records;
    }

private:
    void Add(Event event) {
        {
            std::lock_guard lock(mutex_);
            ends_ += event.number == kMsgSnapshotEnd ? 1 : 0;
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    int ends_ = 0;
};

}  // namespace tarvik::testing
