#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tracking/ConnectionList.h"
#include "tracking/ConnectionTracker.h"

namespace tarvik::test {

// Remembers every batch of list operations.
class RecordingList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override { batches.push_back(std::move(ops)); }
    bool TakesRows() const override { return takesRows; }
    void Opened(const CConnectionRecord& record) override { opened.push_back(record.id); }
    void Ended(const CConnectionRecord& record) override { ended.push_back(record.id); }
    void Updated(const CConnectionRecord& record) override { updated.push_back(record); }
    void LiveCount(std::size_t count) override { liveCounts.push_back(count); }
    void NoticesLost(std::time_t time) override { lost.push_back(time); }

    std::vector<RowOp> TakeOps() {
        std::vector<RowOp> all;
        for (auto& batch : batches) {
            for (auto& op : batch) {
                all.push_back(std::move(op));
            }
        }
        batches.clear();
        return all;
    }

    std::vector<std::vector<RowOp>> batches;
    bool takesRows = true;

    std::vector<int> opened;  // ids, as the tracker told of them

    std::vector<int> ended;

    std::vector<CConnectionRecord> updated;

    std::vector<std::size_t> liveCounts;

    std::vector<std::time_t> lost;
};

// A tracker host with settable view settings and clock that remembers what was published.
class RecordingHost : public ITrackerHost {
public:
    enum class Kind { NewInbound, ResolveHost, Ended };
    struct Sent {
        Kind kind;
        std::optional<CConnectionRecord> record;   // an ended connection
        std::optional<std::string> address;        // of a host-name request
        std::optional<InboundConnection> inbound;  // one of a batch of new inbound ones
    };

    ViewFilter ReadFilter() override { return filter; }

    void Publish(TrackerNews news) override {
        if (auto* added = std::get_if<NewInbound>(&news)) {
            ++inboundBatches;
            for (InboundConnection& connection : added->connections) {
                sent.push_back({Kind::NewInbound, {}, {}, std::move(connection)});
            }
        } else if (auto* request = std::get_if<ResolveHost>(&news)) {
            sent.push_back({Kind::ResolveHost, {}, std::move(request->address), {}});
        } else if (auto& ended = std::get<ConnectionEnded>(news); ended.record) {
            sent.push_back({Kind::Ended, *ended.record, {}, {}});
        }
    }

    void Trace(std::string_view text) override { traces.emplace_back(text); }
    std::time_t Now() override { return now; }

    std::vector<Sent> TakeSent() { return std::exchange(sent, {}); }

    ViewFilter filter;
    std::time_t now = 1000;
    std::vector<Sent> sent;
    int inboundBatches = 0;
    std::vector<std::string> traces;
};

// One whole snapshot of `rows`, as the poller sends it.
inline void FeedSnapshot(CConnectionTracker& tracker, const std::vector<CConnectionRecord>& rows) {
    tracker.BeginSnapshot();
    for (const auto& row : rows) {
        tracker.AddEntry(row);
    }
    tracker.EndSnapshot();
}

}  // namespace tarvik::test
