#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "acquisition/TableSource.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

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

// Records the rows of each snapshot it receives. It lets go of a snapshot's in-flight token at
// once, as the tracker does after its merge, so the poller may read again as soon as the
// snapshot arrived.
class CSnapshotRecorder : public CWorker<std::variant<Snapshot>> {
public:
    CSnapshotRecorder() : CWorker("recorder") { Subscribe<Snapshot>(); }
    ~CSnapshotRecorder() override { Stop(); }

    // Waits until `count` snapshots have arrived; false after the deadline.
    bool WaitForSnapshots(int count, std::chrono::seconds deadline = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(
            lock, deadline, [&] { return snapshots_.size() >= static_cast<std::size_t>(count); });
    }

    // The new and changed rows of each snapshot, in arrival order.
    std::vector<std::vector<CConnectionRecord>> Snapshots() const {
        std::lock_guard lock(mutex_);
        return snapshots_;
    }

    std::vector<CConnectionRecord> Records() const {
        std::vector<CConnectionRecord> records;
        for (const auto& rows : Snapshots()) {
            records.insert(records.end(), rows.begin(), rows.end());
        }
        return records;
    }

private:
    void Handle(std::variant<Snapshot>& message) override {
        Snapshot& snapshot = std::get<Snapshot>(message);
        snapshot.inFlight.reset();
        {
            std::lock_guard lock(mutex_);
            snapshots_.push_back(std::move(snapshot.rows));
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<CConnectionRecord>> snapshots_;
};

}  // namespace tarvik::testing
