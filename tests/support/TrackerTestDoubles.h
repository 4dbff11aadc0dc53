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

    std::vector<std::size_t> liveCounts;

    std::vector<std::time_t> lost;
};

// A tracker host with settable view settings and clock that remembers what was broadcast.
class RecordingHost : public ITrackerHost {
public:
    struct Sent {
        int number = 0;
        std::optional<CConnectionRecord> record;   // wParam record
        std::optional<std::string> text;           // wParam text
        std::optional<CConnectionRecord> lRecord;  // lParam record
    };

    ViewFilter ReadFilter() override { return filter; }

    void Broadcast(int number, Payload wParam, Payload lParam) override {
        Sent item;
        item.number = number;
        if (auto record = wParam.TakeRecord()) {
            item.record = *record;
        }
        if (auto text = wParam.TakeText()) {
            item.text = *text;
        }
        if (auto record = lParam.TakeRecord()) {
            item.lRecord = *record;
        }
        sent.push_back(std::move(item));
    }

    void Trace(std::string_view text) override { traces.emplace_back(text); }
    std::time_t Now() override { return now; }

    std::vector<Sent> TakeSent() { return std::exchange(sent, {}); }

    ViewFilter filter;
    std::time_t now = 1000;
    std::vector<Sent> sent;
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
