#pragma once

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/MibAgent.h"
#include "tracking/WorkerThread.h"

namespace tarvik::testing {

inline Ipv4Octets Address(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    Ipv4Octets octets{};
    std::memcpy(octets.data(), &address, octets.size());
    return octets;
}

inline TcpRow Row(const char* local, int localPort, const char* remote, int remotePort, int state,
                  std::uint64_t cookie = 0) {
    return TcpRow{Address(local),  static_cast<std::uint16_t>(localPort),
                  Address(remote), static_cast<std::uint16_t>(remotePort),
                  state,           cookie};
}

// A fixture table whose reads fail on purpose: every Nth TCP dump, or every address read.
class CFaultySource : public ITableSource {
public:
    explicit CFaultySource(std::vector<TcpRow> rows) : table_(std::move(rows), {}) {}

    std::optional<std::vector<TcpRow>> TcpRows() override {
        ++dumps_;
        if (failEveryNth > 0 && dumps_ % failEveryNth == 0) {
            return std::nullopt;
        }
        return table_.TcpRows();
    }
    std::optional<std::vector<Ipv4Octets>> LocalAddresses() override {
        if (addressesFail) {
            return std::nullopt;
        }
        return table_.LocalAddresses();
    }
    int LastError() const override { return error; }

    int Dumps() const { return dumps_; }

    int failEveryNth = 0;  // 0: no dump fails
    bool addressesFail = false;
    int error = ENOBUFS;

private:
    CFixtureTableSource table_;
    int dumps_ = 0;
};

// An agent over a fixture that counts requests and can be told to fail or throw.
class CCountingAgent : public CMibAgent {
public:
    using Hook = std::function<void(int requestType, std::vector<MibVariable>&, int& errorStatus,
                                    bool& result)>;

    explicit CCountingAgent(std::unique_ptr<ITableSource> source) : CMibAgent(std::move(source)) {}

    bool Query(int requestType, std::vector<MibVariable>& variables, int& errorStatus,
               int& errorIndex) override {
        (requestType == kSnmpGet ? gets : getNexts)++;
        bool result = CMibAgent::Query(requestType, variables, errorStatus, errorIndex);
        if (hook) {
            hook(requestType, variables, errorStatus, result);
        }
        return result;
    }

    int gets = 0;
    int getNexts = 0;
    Hook hook;
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
