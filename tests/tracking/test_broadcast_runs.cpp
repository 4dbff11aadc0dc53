#include <gtest/gtest.h>

#include <thread>

#include "support/RecordingWorker.h"
#include "tracking/WorkerRegistry.h"

namespace tarvik {
namespace {

using test::RecordingWorker;

Payload Entry(int id) {
    CConnectionRecord record;
    record.id = id;
    return Payload::Record(std::move(record));
}

// A run of entries between two single broadcasts arrives exactly as one broadcast per entry
// would: in order, only at the workers that handle it, each record taken once.
TEST(BroadcastRunTest, ArrivesLikeOneBroadcastPerEntry) {
    RecordingWorker tracker({kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEnd});
    RecordingWorker other({kMsgSnapshotEnd});
    tracker.Start();
    other.Start();
    CWorkerRegistry registry;
    registry.Register(&tracker);
    registry.Register(&other);

    constexpr int kRuns = 40;
    constexpr int kPerRun = 25;
    registry.Broadcast(kMsgSnapshotBegin);
    // A second thread broadcasting at the same time must never land inside a run.
    std::jthread interloper([&] {
        for (int i = 0; i < 50; ++i) {
            registry.Broadcast(kMsgSnapshotEnd);
        }
    });
    for (int run = 0; run < kRuns; ++run) {
        std::vector<Payload> payloads;
        for (int i = 0; i < kPerRun; ++i) {
            payloads.push_back(Entry(run * kPerRun + i));
        }
        registry.BroadcastEach(kMsgSnapshotEntry, payloads);
    }
    interloper.join();

    ASSERT_TRUE(tracker.WaitFor(1 + kRuns * kPerRun + 50));
    ASSERT_TRUE(other.WaitFor(50));
    const auto received = tracker.Take();
    ASSERT_EQ(received.size(), 1u + kRuns * kPerRun + 50);
    EXPECT_EQ(received[0].number, kMsgSnapshotBegin);
    int nextId = 0;
    for (std::size_t i = 1; i < received.size(); ++i) {
        if (received[i].number == kMsgSnapshotEnd) {
            EXPECT_EQ(nextId % kPerRun, 0) << "a broadcast landed inside a run";
            continue;
        }
        ASSERT_EQ(received[i].number, kMsgSnapshotEntry);
        ASSERT_NE(received[i].record, nullptr);
        EXPECT_EQ(received[i].record->id, nextId++);
    }
    EXPECT_EQ(nextId, kRuns * kPerRun);
    for (const auto& message : other.Take()) {
        EXPECT_EQ(message.number, kMsgSnapshotEnd);
    }
}

// Messages of several numbers sent together: each worker gets the ones it handles, in order,
// and is woken once for them; a quit part way makes the rest reach nobody, as it would singly.
TEST(BroadcastRunTest, AMixedRunWakesEachWorkerOnceWithItsOwnNumbers) {
    RecordingWorker logger({kMsgLogConnection, kMsgNewConnection});
    RecordingWorker scanner({kMsgNewConnection});
    logger.Start();
    scanner.Start();
    CWorkerRegistry registry;
    registry.Register(&logger);
    registry.Register(&scanner);

    std::vector<Message> run;
    for (int id = 0; id < 60; ++id) {
        run.push_back(Message{id % 3 == 0 ? kMsgNewConnection : kMsgLogConnection, Entry(id), {}});
    }
    registry.BroadcastAll(run);
    ASSERT_TRUE(logger.WaitFor(60));
    ASSERT_TRUE(scanner.WaitFor(20));
    const auto logged = logger.Take();
    for (int id = 0; id < 60; ++id) {
        ASSERT_EQ(logged[id].number, id % 3 == 0 ? kMsgNewConnection : kMsgLogConnection);
    }
    const auto scanned = scanner.Take();
    ASSERT_EQ(scanned.size(), 20u);
    for (std::size_t i = 0; i < scanned.size(); ++i) {
        EXPECT_EQ(scanned[i].number, kMsgNewConnection);
    }

    std::vector<Message> withQuit;
    withQuit.push_back(Message{kMsgLogConnection, Entry(100), {}});
    withQuit.push_back(Message{kMsgQuit, {}, {}});
    withQuit.push_back(Message{kMsgLogConnection, Entry(101), {}});
    registry.BroadcastAll(withQuit);
    logger.Join();
    scanner.Join();
    const auto last = logger.Take();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].record->id, 100);
    EXPECT_TRUE(logger.quitSeen);
    EXPECT_EQ(registry.Size(), 0u);
    // Counted once the workers ended, as a wake is counted after its last message is handled:
    // the run, then (for the logger) the message before the quit.
    EXPECT_EQ(logger.Wakes(), 2u);
    EXPECT_EQ(scanner.Wakes(), 1u);
}

TEST(BroadcastRunTest, WorkerThatStoppedRefusesTheWholeRun) {
    RecordingWorker worker({kMsgSnapshotEntry});
    worker.Start();
    ASSERT_TRUE(worker.Post({kMsgQuit, {}, {}}));
    worker.Join();
    std::vector<Message> run;
    run.push_back(Message{kMsgSnapshotEntry, Entry(1), {}});
    run.push_back(Message{kMsgSnapshotEntry, Entry(2), {}});
    EXPECT_FALSE(worker.PostAll(std::move(run)));
    EXPECT_TRUE(worker.PostAll({}));
    EXPECT_EQ(worker.Count(), 0u);
}

// Messages queued while the worker is busy still wake it: only an empty queue is slept on.
TEST(BroadcastRunTest, EveryMessageIsHandledWhateverTheTiming) {
    RecordingWorker worker({kMsgSnapshotEntry});
    worker.Start();
    constexpr int kMessages = 2000;
    for (int i = 0; i < kMessages; ++i) {
        if (i % 3 == 0) {
            std::vector<Message> run;
            run.push_back(Message{kMsgSnapshotEntry, Entry(i), {}});
            ASSERT_TRUE(worker.PostAll(std::move(run)));
        } else {
            ASSERT_TRUE(worker.Post({kMsgSnapshotEntry, Entry(i), {}}));
        }
        if (i % 97 == 0) {
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(worker.WaitFor(kMessages));
    const auto received = worker.Take();
    for (int i = 0; i < kMessages; ++i) {
        ASSERT_NE(received[i].record, nullptr);
        EXPECT_EQ(received[i].record->id, i);
    }
}

}  // namespace
}  // namespace tarvik
