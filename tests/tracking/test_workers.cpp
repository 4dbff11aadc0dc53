#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/RecordingWorker.h"
#include "tracking/WorkerRegistry.h"
#include "tracking/WorkerThread.h"

namespace tarvik {
namespace {

using test::RecordingWorker;

CConnectionRecord RecordWithId(int id) {
    CConnectionRecord record;
    record.id = id;
    return record;
}

TEST(PayloadTest, IsTakenOnceAndOnlyAsItsOwnType) {
    Payload record = Payload::Record(RecordWithId(7));
    Payload copy = record;
    EXPECT_EQ(copy.TakeText(), nullptr);
    auto taken = copy.TakeRecord();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->id, 7);
    EXPECT_EQ(record.TakeRecord(), nullptr);

    Payload text = Payload::Text("10.0.0.1");
    EXPECT_EQ(*text.TakeText(), "10.0.0.1");
    EXPECT_EQ(text.TakeText(), nullptr);
    EXPECT_TRUE(Payload{}.Empty());
    EXPECT_EQ(Payload{}.TakeRecord(), nullptr);

    Payload alert = Payload::Alert({"192.0.2.7", {21, 22, 23}, "SYN", 1000});
    Payload shared = alert;
    EXPECT_EQ(shared.TakeRecord(), nullptr);
    auto seen = shared.TakeAlert();
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->remoteAddress, "192.0.2.7");
    EXPECT_EQ(seen->localPorts, (std::vector<int>{21, 22, 23}));
    EXPECT_EQ(seen->kind, "SYN");
    EXPECT_EQ(alert.TakeAlert(), nullptr);
}

TEST(WorkerTest, HandlesItsNumbersInArrivalOrder) {
    RecordingWorker worker({kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEnd});
    worker.Start();
    worker.Post({kMsgSnapshotBegin, {}, {}});
    worker.Post({kMsgPoll, Payload::Record(RecordWithId(99)), {}});  // not handled: dropped
    for (int id = 1; id <= 3; ++id) {
        worker.Post({kMsgSnapshotEntry, Payload::Record(RecordWithId(id)), {}});
    }
    worker.Post({kMsgSnapshotEnd, {}, {}});
    ASSERT_TRUE(worker.WaitFor(5));

    const auto received = worker.Take();
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received[0].number, kMsgSnapshotBegin);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(received[i].number, kMsgSnapshotEntry);
        ASSERT_NE(received[i].record, nullptr);
        EXPECT_EQ(received[i].record->id, i);
    }
    EXPECT_EQ(received[4].number, kMsgSnapshotEnd);
}

// Holds its first poll until released, so ticks pile up behind it.
class SlowPoller : public CWorkerThread {
public:
    SlowPoller() : CWorkerThread("slow") {
        On(kMsgPoll, [this](Message&) {
            std::unique_lock lock(mutex_);
            ++polls_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        });
        CoalesceQueued(kMsgPoll);
    }
    ~SlowPoller() override { Stop(); }

    void WaitForPolls(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return polls_ >= count; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int Polls() {
        std::lock_guard lock(mutex_);
        return polls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int polls_ = 0;
    bool released_ = false;
};

TEST(WorkerTest, TicksThatPileUpBehindASlowHandlerCountOnce) {
    SlowPoller poller;
    poller.Start();
    poller.Post({kMsgPoll, {}, {}});
    poller.WaitForPolls(1);
    for (int i = 0; i < 10; ++i) {
        poller.Post({kMsgPoll, {}, {}});  // one waits, the rest are dropped
    }
    poller.Release();
    poller.WaitForPolls(2);
    poller.Post({kMsgQuit, {}, {}});
    poller.Join();
    EXPECT_EQ(poller.Polls(), 2);
}

TEST(WorkerTest, QuitRunsOnQuitEndsTheThreadAndRefusesLaterPosts) {
    RecordingWorker worker({kMsgPoll});
    worker.Start();
    EXPECT_TRUE(worker.Post({kMsgQuit, {}, {}}));
    worker.Join();
    EXPECT_TRUE(worker.quitSeen);
    EXPECT_FALSE(worker.Running());
    // The payload of a refused post is freed with the message (LeakSanitizer checks this).
    EXPECT_FALSE(worker.Post({kMsgPoll, Payload::Record(RecordWithId(1)), {}}));
}

TEST(WorkerTest, StopFreesQueuedPayloadsOfAnUnstartedOrRunningWorker) {
    RecordingWorker unstarted({kMsgPoll});
    EXPECT_TRUE(unstarted.Post({kMsgPoll, Payload::Record(RecordWithId(1)), {}}));
    unstarted.Join();  // never started: returns at once

    RecordingWorker running({kMsgPoll});
    running.Start();
    running.Stop();
    EXPECT_FALSE(running.Running());
}

TEST(RegistryTest, RecordReachesOnlyTheWorkerThatHandlesIt) {
    CWorkerRegistry registry;
    RecordingWorker poller({kMsgPoll});
    RecordingWorker tracker({kMsgSnapshotEntry});
    RecordingWorker lookup({kMsgResolveHost});
    RecordingWorker logger({kMsgLogConnection});
    RecordingWorker scan({kMsgNewConnection});
    for (RecordingWorker* worker : {&poller, &tracker, &lookup, &logger, &scan}) {
        worker->Start();
        registry.Register(worker);
    }
    registry.Broadcast(kMsgSnapshotEntry, Payload::Record(RecordWithId(5)));
    ASSERT_TRUE(tracker.WaitFor(1));
    auto received = tracker.Take();
    ASSERT_NE(received[0].record, nullptr);
    EXPECT_EQ(received[0].record->id, 5);

    registry.Broadcast(kMsgQuit);
    for (RecordingWorker* worker : {&poller, &tracker, &lookup, &logger, &scan}) {
        worker->Join();
        EXPECT_EQ(worker->Count(), 0u);
    }
}

TEST(RegistryTest, QuitEmptiesTheListSoLaterBroadcastsReachNobody) {
    CWorkerRegistry registry;
    RecordingWorker worker({kMsgPoll});
    worker.Start();
    registry.Register(&worker);
    registry.Broadcast(kMsgQuit);
    EXPECT_EQ(registry.Size(), 0u);
    registry.Broadcast(kMsgPoll, Payload::Record(RecordWithId(1)));  // freed, reaches nobody
    worker.Join();
    EXPECT_EQ(worker.Count(), 0u);
}

TEST(RegistryTest, ClearEmptiesTheList) {
    CWorkerRegistry registry;
    RecordingWorker worker({kMsgPoll});
    registry.Register(&worker);
    registry.Clear();
    EXPECT_EQ(registry.Size(), 0u);
}

TEST(RegistryTest, OneSendersSnapshotStaysInOrderWhileOthersBroadcast) {
    CWorkerRegistry registry;
    RecordingWorker tracker({kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEnd, kMsgPoll});
    tracker.Start();
    registry.Register(&tracker);

    constexpr int kEntries = 500;
    std::atomic<bool> done{false};
    std::jthread noise([&] {
        for (int i = 0; i < 2000 && !done; ++i) {
            registry.Broadcast(kMsgPoll);
        }
    });
    registry.Broadcast(kMsgSnapshotBegin);
    for (int id = 1; id <= kEntries; ++id) {
        registry.Broadcast(kMsgSnapshotEntry, Payload::Record(RecordWithId(id)));
    }
    registry.Broadcast(kMsgSnapshotEnd);
    done = true;
    noise.join();
    registry.Broadcast(kMsgQuit);
    tracker.Join();

    int expectedId = 1;
    bool begun = false;
    bool ended = false;
    for (const auto& message : tracker.Take()) {
        if (message.number == kMsgPoll) {
            continue;
        }
        ASSERT_FALSE(ended);
        if (message.number == kMsgSnapshotBegin) {
            begun = true;
        } else if (message.number == kMsgSnapshotEntry) {
            ASSERT_TRUE(begun);
            EXPECT_EQ(message.record->id, expectedId++);
        } else {
            ended = true;
        }
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(expectedId, kEntries + 1);
}

TEST(RegistryTest, TraceGoesToTheSinkOnlyWhenSet) {
    CWorkerRegistry registry;
    registry.Trace("discarded");
    std::vector<std::string> lines;
    registry.SetTraceSink([&](std::string_view text) { lines.emplace_back(text); });
    registry.Trace("tick, data refresh");
    EXPECT_EQ(lines, std::vector<std::string>{"tick, data refresh"});
}

// Holds its first poll until released; drops host-name requests still queued at a quit.
class HeldWorker : public CWorkerThread {
public:
    HeldWorker() : CWorkerThread("held") {
        On(kMsgPoll, [this](Message& message) {
            std::unique_lock lock(mutex_);
            Note(message);
            changed_.notify_all();
            changed_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
        });
        for (int number : {kMsgResolveHost, kMsgSnapshotEntry}) {
            On(number, [this](Message& message) {
                std::lock_guard lock(mutex_);
                Note(message);
            });
        }
        DropQueuedAtQuit(kMsgResolveHost);
    }
    ~HeldWorker() override { Stop(); }

    bool WaitHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return !ids_.empty(); });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<int> Ids() {
        std::lock_guard lock(mutex_);
        return ids_;
    }

private:
    void Note(Message& message) {
        auto record = message.wParam.TakeRecord();
        ids_.push_back(record ? record->id : 0);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> ids_;
    bool released_ = false;
};

Message WithId(int number, int id) {
    return Message{number, Payload::Record(RecordWithId(id)), {}};
}

TEST(WorkerTest, QuitDropsQueuedMessagesOfTheNumbersGivenAndHandlesTheRest) {
    HeldWorker worker;
    worker.Start();
    // Taken by the worker in one go, so the request waits in its inbox behind the held poll.
    std::vector<Message> first;
    first.push_back(WithId(kMsgPoll, 1));
    first.push_back(WithId(kMsgResolveHost, 2));
    first.push_back(WithId(kMsgSnapshotEntry, 3));
    worker.PostAll(std::move(first));
    ASSERT_TRUE(worker.WaitHeld());
    // These wait in the queue.
    worker.Post(WithId(kMsgResolveHost, 4));
    worker.Post(WithId(kMsgSnapshotEntry, 5));
    worker.Post(Message{kMsgQuit, {}, {}});
    worker.Post(WithId(kMsgResolveHost, 6));
    worker.Release();
    worker.Join();
    EXPECT_EQ(worker.Ids(), (std::vector<int>{1, 3, 5}));
}

TEST(WorkerTest, WithoutNumbersToDropQuitWaitsForEverythingQueued) {
    RecordingWorker worker({kMsgResolveHost});
    std::vector<Message> messages;
    for (int id = 1; id <= 3; ++id) {
        messages.push_back(WithId(kMsgResolveHost, id));
    }
    messages.push_back(Message{kMsgQuit, {}, {}});
    worker.PostAll(std::move(messages));
    worker.Start();
    worker.Join();
    EXPECT_EQ(worker.Count(), 3u);
}

// Broadcasts from several threads while another registers and clears workers and a quit runs:
// the registry's lock is all that keeps the list whole, and ThreadSanitizer sees its absence.
TEST(RegistryTest, BroadcastsRaceClearAndQuitSafely) {
    CWorkerRegistry registry;
    RecordingWorker first({kMsgSnapshotEntry});
    RecordingWorker second({kMsgNewConnection});
    first.Start();
    second.Start();

    constexpr int kSenders = 3;
    constexpr int kPerSender = 300;
    std::vector<std::jthread> senders;
    for (int sender = 0; sender < kSenders; ++sender) {
        senders.emplace_back([&registry, sender] {
            for (int i = 0; i < kPerSender; ++i) {
                for (int number : {kMsgSnapshotEntry, kMsgNewConnection}) {
                    registry.Broadcast(number,
                                       Payload::Record(RecordWithId(sender * kPerSender + i)));
                }
            }
        });
    }
    std::jthread churn([&] {
        for (int i = 0; i < 200; ++i) {
            registry.Register(&first);
            registry.Register(&second);
            registry.Clear();
        }
        registry.Register(&first);
        registry.Register(&second);
        registry.Broadcast(kMsgQuit);
    });
    for (auto& sender : senders) {
        sender.join();
    }
    churn.join();
    first.Join();
    second.Join();
    EXPECT_EQ(registry.Size(), 0u);

    // Each broadcast reached a worker at most once (both are never listed twice), and each
    // sender's records arrived in the order sent.
    for (RecordingWorker* worker : {&first, &second}) {
        EXPECT_TRUE(worker->quitSeen);
        std::vector<int> last(kSenders, -1);
        for (const auto& message : worker->Take()) {
            ASSERT_TRUE(message.record);
            const int id = message.record->id;
            ASSERT_GE(id, 0);
            ASSERT_LT(id, kSenders * kPerSender);
            EXPECT_GT(id, last[id / kPerSender]);
            last[id / kPerSender] = id;
        }
    }
}

// Administrators tell the workers apart in `top -H` and `ps -L` by these names.
TEST(WorkerThreadTest, NamesItsThreadForTheSystemTools) {
    RecordingWorker worker({kMsgLogConnection});
    worker.Start();
    ASSERT_TRUE(worker.Post(Message{kMsgLogConnection, Payload::Record(RecordWithId(1)), {}}));
    ASSERT_TRUE(worker.WaitFor(1));
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "recording"), names.end());
}

}  // namespace
}  // namespace tarvik
