#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/RecordingWorker.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

// Message types of these tests alone: the runtime knows nothing of the program's.
struct Tick {};
struct Item {
    int id = 0;
};
struct Other {
    int id = 0;
};
// Counts the copies made of it, so a test can see who got the value itself.
struct Counted {
    explicit Counted(std::shared_ptr<std::atomic<int>> counter) : copies(std::move(counter)) {}
    Counted(const Counted& other) : copies(other.copies) { ++*copies; }
    Counted(Counted&&) = default;
    Counted& operator=(const Counted&) = delete;
    Counted& operator=(Counted&&) = default;
    std::shared_ptr<std::atomic<int>> copies;
};

using ItemRecorder = test::Recorder<Item>;

std::vector<int> Ids(std::vector<std::variant<Item, Other>> messages) {
    std::vector<int> ids;
    for (const auto& message : messages) {
        ids.push_back(std::visit([](const auto& value) { return value.id; }, message));
    }
    return ids;
}

std::vector<int> IdsOf(ItemRecorder& worker) {
    std::vector<int> ids;
    for (const Item& item : worker.TakeOf<Item>()) {
        ids.push_back(item.id);
    }
    return ids;
}

class WorkersTest : public ::testing::Test {
protected:
    ~WorkersTest() override { hub.Clear(); }

    template <class... Workers>
    void StartAll(Workers&... workers) {
        (workers.Start(), ...);
        (hub.Register(&workers), ...);
    }

    CWorkerHub hub;
};

TEST_F(WorkersTest, PublishedValuesReachTheSubscribersOfTheirTypeInOrder) {
    test::Recorder<Item, Other> both;
    ItemRecorder items;
    test::Recorder<Tick> ticks;  // takes neither: never woken by them
    StartAll(both, items, ticks);

    hub.Publish(Item{1});
    hub.Publish(Other{2});
    hub.PublishAll(std::vector<std::variant<Item, Other>>{Item{3}, Other{4}, Item{5}});
    ASSERT_TRUE(both.WaitFor(5));
    ASSERT_TRUE(items.WaitFor(3));
    EXPECT_EQ(Ids(both.Take()), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(IdsOf(items), (std::vector<int>{1, 3, 5}));
    hub.QuitAll();
    ticks.Join();
    EXPECT_EQ(ticks.Count(), 0u);
    EXPECT_EQ(ticks.Wakes(), 0u);
}

TEST_F(WorkersTest, APublishedValueIsCopiedForAllButItsLastSubscriber) {
    const struct {
        int subscribers;
        int copies;
    } cases[] = {{0, 0}, {1, 0}, {3, 2}};
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<test::Recorder<Counted>>> workers;
        CWorkerRegistry registry;
        for (int i = 0; i < c.subscribers; ++i) {
            workers.push_back(std::make_unique<test::Recorder<Counted>>());
            registry.Register(workers.back().get());  // unstarted: the value waits queued
        }
        auto copies = std::make_shared<std::atomic<int>>(0);
        registry.Publish(Counted(copies));
        EXPECT_EQ(*copies, c.copies) << c.subscribers << " subscribers";
    }
}

// Holds its first tick until released, so ticks pile up behind it.
class SlowWorker : public CWorker<std::variant<Tick, Item>> {
public:
    SlowWorker() : CWorker("slow") {
        Subscribe<Tick>();
        Coalesce<Tick>();
    }
    ~SlowWorker() override { Stop(); }

    void WaitForTicks(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return ticks_ >= count; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int Ticks() {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    std::vector<int> Ids() {
        std::lock_guard lock(mutex_);
        return ids_;
    }

private:
    void Handle(std::variant<Tick, Item>& message) override {
        std::unique_lock lock(mutex_);
        if (auto* item = std::get_if<Item>(&message)) {
            ids_.push_back(item->id);
            return;
        }
        ++ticks_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int ticks_ = 0;
    std::vector<int> ids_;
    bool released_ = false;
};

TEST_F(WorkersTest, CoalescedTicksThatPileUpBehindASlowHandlerCountOnce) {
    SlowWorker worker;
    worker.Start();
    worker.Post(Tick{});
    worker.WaitForTicks(1);
    for (int i = 0; i < 10; ++i) {
        worker.Post(Tick{});   // one waits, the rest are dropped
        worker.Post(Item{i});  // not coalesced: every one stays
    }
    worker.Release();
    worker.WaitForTicks(2);
    worker.PostQuit();
    worker.Join();
    EXPECT_EQ(worker.Ticks(), 2);
    EXPECT_EQ(worker.Ids(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(WorkersTest, QuitRunsOnQuitEndsTheThreadAndRefusesLaterPosts) {
    ItemRecorder worker;
    worker.Start();
    EXPECT_TRUE(worker.PostQuit());
    worker.Join();
    EXPECT_TRUE(worker.quitSeen);
    EXPECT_FALSE(worker.Running());
    EXPECT_FALSE(worker.Post(Item{1}));
    EXPECT_FALSE(worker.PostAll({Item{2}, Item{3}}));
    EXPECT_TRUE(worker.PostAll({}));
    EXPECT_EQ(worker.Count(), 0u);

    ItemRecorder unstarted;  // what waits queued is freed with it (LeakSanitizer checks)
    EXPECT_TRUE(unstarted.Post(Item{1}));
    unstarted.Join();  // never started: returns at once
    ItemRecorder running;
    running.Start();
    running.Stop();
    EXPECT_FALSE(running.Running());
}

// Drops items still queued at a quit; other values queued before it are handled.
class DroppingWorker : public test::Recorder<Item, Other> {
public:
    DroppingWorker() { DropAtQuit<Item>(); }
};

TEST_F(WorkersTest, QuitDropsQueuedValuesOfTheTypesGivenAndHandlesTheRest) {
    const struct {
        bool drop;
        std::vector<int> handled;
    } cases[] = {{true, {2}}, {false, {1, 2}}};
    for (const auto& c : cases) {
        std::unique_ptr<test::Recorder<Item, Other>> worker =
            c.drop ? std::make_unique<DroppingWorker>()
                   : std::make_unique<test::Recorder<Item, Other>>();
        worker->Post(Item{1});
        worker->Post(Other{2});
        worker->PostQuit();
        worker->Post(Item{3});  // after the quit: never handled
        worker->Start();
        worker->Join();
        EXPECT_EQ(Ids(worker->Take()), c.handled);
    }
}

TEST_F(WorkersTest, QuitAllEmptiesTheListSoLaterPublicationsReachNobody) {
    ItemRecorder worker;
    StartAll(worker);
    hub.QuitAll();
    EXPECT_EQ(hub.Registry().Size(), 0u);
    hub.Publish(Item{1});
    worker.Join();
    EXPECT_TRUE(worker.quitSeen);
    EXPECT_EQ(worker.Count(), 0u);

    ItemRecorder unstarted;
    hub.Register(&unstarted);
    hub.Clear();
    EXPECT_EQ(hub.Registry().Size(), 0u);
}

// A run published at once arrives as one publication per value would: in order, never with
// another thread's publication inside it, each worker woken once for the values it takes.
TEST_F(WorkersTest, ARunArrivesWholeAndWakesEachWorkerOnce) {
    test::Recorder<Item, Other> worker;
    ItemRecorder items;
    StartAll(worker, items);

    constexpr int kRuns = 40;
    constexpr int kPerRun = 25;
    std::jthread interloper([&] {
        for (int i = 0; i < 50; ++i) {
            hub.Publish(Other{-1});
        }
    });
    for (int run = 0; run < kRuns; ++run) {
        std::vector<std::variant<Item, Other>> values;
        for (int i = 0; i < kPerRun; ++i) {
            values.emplace_back(Item{run * kPerRun + i});
        }
        hub.PublishAll(std::move(values));
    }
    interloper.join();
    ASSERT_TRUE(worker.WaitFor(kRuns * kPerRun + 50));
    int next = 0;
    for (int id : Ids(worker.Take())) {
        if (id < 0) {
            EXPECT_EQ(next % kPerRun, 0) << "a publication landed inside a run";
            continue;
        }
        EXPECT_EQ(id, next++);
    }
    EXPECT_EQ(next, kRuns * kPerRun);
    ASSERT_TRUE(items.WaitFor(kRuns * kPerRun));

    hub.Clear();
    test::Recorder<Item, Other> mixed;
    ItemRecorder itemsOnly;
    StartAll(mixed, itemsOnly);
    std::vector<std::variant<Item, Other>> run;
    for (int id = 0; id < 60; ++id) {
        run.push_back(id % 3 == 0 ? std::variant<Item, Other>(Item{id}) : Other{id});
    }
    hub.PublishAll(std::move(run));
    ASSERT_TRUE(mixed.WaitFor(60));
    ASSERT_TRUE(itemsOnly.WaitFor(20));
    hub.QuitAll();
    mixed.Join();
    itemsOnly.Join();
    EXPECT_EQ(mixed.Wakes(), 1u);
    EXPECT_EQ(itemsOnly.Wakes(), 1u);
    EXPECT_EQ(IdsOf(itemsOnly).size(), 20u);
}

// Values posted while the worker is busy still wake it: only an empty queue is slept on.
TEST_F(WorkersTest, EveryMessageIsHandledWhateverTheTiming) {
    ItemRecorder worker;
    worker.Start();
    constexpr int kMessages = 2000;
    for (int i = 0; i < kMessages; ++i) {
        ASSERT_TRUE(i % 3 == 0 ? worker.PostAll({Item{i}}) : worker.Post(Item{i}));
        if (i % 97 == 0) {
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(worker.WaitFor(kMessages));
    const std::vector<int> ids = IdsOf(worker);
    for (int i = 0; i < kMessages; ++i) {
        ASSERT_EQ(ids[i], i);
    }
}

// Publications from several threads while another registers and clears workers and a quit
// runs: the registry's lock is all that keeps the list whole, and ThreadSanitizer sees its
// absence.
TEST_F(WorkersTest, PublicationsRaceClearAndQuitSafely) {
    test::Recorder<Item, Other> first;
    test::Recorder<Item, Other> second;
    first.Start();
    second.Start();

    constexpr int kSenders = 3;
    constexpr int kPerSender = 300;
    std::vector<std::jthread> senders;
    for (int sender = 0; sender < kSenders; ++sender) {
        senders.emplace_back([this, sender] {
            for (int i = 0; i < kPerSender; ++i) {
                hub.Publish(Item{sender * kPerSender + i});
                hub.Publish(Other{sender * kPerSender + i});
            }
        });
    }
    std::jthread churn([&] {
        for (int i = 0; i < 200; ++i) {
            hub.Register(&first);
            hub.Register(&second);
            hub.Clear();
        }
        hub.Register(&first);
        hub.Register(&second);
        hub.QuitAll();
    });
    for (auto& sender : senders) {
        sender.join();
    }
    churn.join();
    first.Join();
    second.Join();
    EXPECT_EQ(hub.Registry().Size(), 0u);

    // Each sender's values arrived in the order sent, each at most once per worker.
    for (auto* worker : {&first, &second}) {
        EXPECT_TRUE(worker->quitSeen);
        std::vector<int> lastItem(kSenders, -1);
        std::vector<int> lastOther(kSenders, -1);
        for (const auto& message : worker->Take()) {
            auto& last = std::holds_alternative<Item>(message) ? lastItem : lastOther;
            const int id = std::visit([](const auto& value) { return value.id; }, message);
            ASSERT_GE(id, 0);
            ASSERT_LT(id, kSenders * kPerSender);
            EXPECT_GT(id, last[id / kPerSender]);
            last[id / kPerSender] = id;
        }
    }
}

TEST_F(WorkersTest, TraceAndServicesGoToTheirSinksOnlyWhenSet) {
    struct Notifier : IUserNotifier {
        std::vector<std::string> shown;
        void ShowMessage(const std::string& text) override { shown.push_back(text); }
    };
    struct Balloon : IBalloonSink {
        std::string last;
        bool ShowBalloon(const std::string& title, const std::string& text, int t) override {
            last = title + "|" + text + "|" + std::to_string(t);
            return true;
        }
    };
    std::vector<std::string> lines;
    hub.Trace("discarded");
    hub.NotifyUser("dropped");
    EXPECT_FALSE(hub.ShowBalloon("t", "x", 10));
    auto notifier = std::make_shared<Notifier>();
    auto balloon = std::make_shared<Balloon>();
    hub.SetTraceSink([&](std::string_view text) { lines.emplace_back(text); });
    hub.SetUserNotifier(notifier);
    hub.SetBalloonSink(balloon);
    hub.Trace("tick, data refresh");
    hub.NotifyUser("cannot create log");
    EXPECT_TRUE(hub.ShowBalloon("Scan", "from 10.0.0.9", 10));
    EXPECT_EQ(lines, std::vector<std::string>{"tick, data refresh"});
    EXPECT_EQ(notifier->shown, std::vector<std::string>{"cannot create log"});
    EXPECT_EQ(balloon->last, "Scan|from 10.0.0.9|10");
}

// Administrators tell the workers apart in `top -H` and `ps -L` by these names.
TEST_F(WorkersTest, NamesItsThreadForTheSystemTools) {
    ItemRecorder worker;
    worker.Start();
    ASSERT_TRUE(worker.Post(Item{1}));
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
