#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lookup/ReverseLookupThread.h"
#include "settings/SettingsStore.h"
#include "support/RecordingWorker.h"
#include "tracking/FilterThread.h"
#include "tracking/SettingsLink.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

// A list that the tracker's thread fills and the test thread waits on.
class LockedList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override {
        {
            std::lock_guard lock(mutex_);
            for (auto& op : ops) {
                ops_.push_back(std::move(op));
            }
        }
        changed_.notify_all();
    }

    // All operations so far, once `done` holds for them; empty after the deadline.
    template <typename Done>
    std::vector<RowOp> WaitUntil(Done done) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [&] { return done(ops_); })) {
            return {};
        }
        return ops_;
    }

    std::vector<RowOp> WaitFor(std::size_t count) {
        return WaitUntil([count](const std::vector<RowOp>& ops) { return ops.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RowOp> ops_;
};

class TableResolver : public INameResolver {
public:
    explicit TableResolver(std::map<std::string, std::string> names, std::atomic<int>* calls)
        : names_(std::move(names)), calls_(calls) {}
    std::optional<std::string> Resolve(const std::string& ipv4Text) override {
        ++*calls_;
        if (auto found = names_.find(ipv4Text); found != names_.end()) {
            return found->second;
        }
        return std::nullopt;
    }

private:
    std::map<std::string, std::string> names_;
    std::atomic<int>* calls_;
};

// What a BlockingResolver shares with the test; it outlives the resolver, which may end on a
// thread the lookup worker has let go of.
struct ResolverGate {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool released = false;
    bool returned = false;
    bool destroyed = false;

    template <typename Done>
    bool WaitUntil(Done done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, done);
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// Names every address "host-<address>", but holds each call until released (at most 3 s),
// like a name service that does not answer.
class BlockingResolver : public INameResolver {
public:
    explicit BlockingResolver(std::shared_ptr<ResolverGate> gate) : gate_(std::move(gate)) {}
    ~BlockingResolver() override {
        std::lock_guard lock(gate_->mutex);
        gate_->destroyed = true;
        gate_->changed.notify_all();
    }
    std::optional<std::string> Resolve(const std::string& ipv4Text) override {
        std::unique_lock lock(gate_->mutex);
        ++gate_->calls;
        gate_->changed.notify_all();
        gate_->changed.wait_for(lock, 3s, [this] { return gate_->released; });
        gate_->returned = true;
        gate_->changed.notify_all();
        return "host-" + ipv4Text;
    }

private:
    std::shared_ptr<ResolverGate> gate_;
};

// Holds the first batch until released, so that the tracker falls behind its queue.
class HeldList : public LockedList {
public:
    void Apply(std::vector<RowOp> ops) override {
        {
            std::unique_lock lock(mutex_);
            if (!entered_) {
                entered_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, 5s, [this] { return released_; });
            }
        }
        LockedList::Apply(std::move(ops));
    }
    bool WaitEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [this] { return entered_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

CConnectionRecord Row(std::string ip, int localPort, int remotePort, Category category,
                      TcpState state) {
    CConnectionRecord record;
    record.ipAddress = ip;
    record.hostName = ip;
    record.interfaceText = "127.0.0.1";
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.category = category;
    record.state = state;
    record.serviceText = "svc";
    return record;
}

class WorkersTest : public ::testing::Test {
protected:
    WorkersTest()
        : store(std::filesystem::temp_directory_path() / "tarvik-tracker-test-missing.conf",
                [] { return std::vector<std::string>{"127.0.0.1"}; }) {
        store.SetShowListening(1);
        store.SetShowInbound(1);
        store.SetShowOutbound(1);
        store.SetShowUnknown(1);
        store.SetNetIf(-1);
    }

    ~WorkersTest() override {
        // Nobody may post to a worker that is being destroyed.
        hub.Clear();
    }

    void Start(CWorkerThread& worker) {
        worker.Start();
        hub.Register(&worker);
    }

    void Snapshot(std::vector<CConnectionRecord> rows) {
        hub.Publish(tarvik::Snapshot{std::move(rows), {}, nullptr});
    }

    void Resolve(const std::string& address) { hub.Publish(ResolveHost{address}); }

    CWorkerHub hub;
    CSettingsStore store;
    LockedList list;
};

TEST_F(WorkersTest, TrackerAnnouncesNewConnectionsToTheOtherWorkers) {
    store.SetReverseLookup(1);
    CFilterThread tracker(store, hub, list, [] { return std::time_t{777}; });
    test::Recorder<NewInbound, ResolveHost, ConnectionEnded> recorder;
    Start(tracker);
    Start(recorder);

    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established),
              Row("n/a", 80, 0, Category::Listening, TcpState::Listen)});
    ASSERT_TRUE(recorder.WaitFor(3));
    Snapshot({Row("n/a", 80, 0, Category::Listening, TcpState::Listen)});
    ASSERT_TRUE(recorder.WaitFor(4));
    const auto received = recorder.Take();

    ASSERT_EQ(received.size(), 4u);
    std::vector<std::size_t> kinds;
    for (const auto& item : received) {
        kinds.push_back(item.index());
    }
    EXPECT_EQ(kinds, (std::vector<std::size_t>{1, 1, 0, 2}));  // ask, ask, new inbound, ended
    EXPECT_EQ(std::get<ResolveHost>(received[0]).address, "10.0.0.7");
    EXPECT_EQ(std::get<ResolveHost>(received[1]).address, "n/a");
    EXPECT_EQ(std::get<NewInbound>(received[2]).connections,
              (std::vector<InboundConnection>{{"10.0.0.7", 21}}));

    CConnectionRecord ended = Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established);
    ended.id = 1;
    ended.openTime = 777;
    ended.closeTime = 777;
    const auto& logged = std::get<ConnectionEnded>(received[3]).record;
    ASSERT_TRUE(logged);
    EXPECT_EQ(*logged, ended);

    const auto ops = list.WaitFor(3);
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Insert);
    EXPECT_EQ(ops[1].kind, RowOp::Kind::Insert);
    EXPECT_EQ(ops[2].kind, RowOp::Kind::Delete);
    EXPECT_EQ(ops[2].record.id, 1);
}

TEST_F(WorkersTest, TrackerTakesASnapshotWithoutRowsOrKeptTable) {
    CFilterThread tracker(store, hub, list);
    test::Recorder<NewInbound> recorder;
    Start(tracker);
    Start(recorder);

    hub.Publish(tarvik::Snapshot{});
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established)});

    const auto ops = list.WaitFor(1);
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].record.id, 1);
    EXPECT_EQ(ops[0].record.ipAddress, "10.0.0.7");
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(WorkersTest, ResolvedNameReachesTheListInLowerCase) {
    store.SetReverseLookup(1);
    std::atomic<int> calls = 0;
    CFilterThread tracker(store, hub, list);
    CReverseLookupThread lookup(
        store, hub,
        std::make_unique<TableResolver>(
            std::map<std::string, std::string>{{"10.0.0.7", "Mail.Example.ORG"}}, &calls));
    Start(tracker);
    Start(lookup);

    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established),
              Row("10.0.0.7", 22, 40001, Category::Inbound, TcpState::Established)});

    // One request goes out for the address; its answer names each connection once, by an
    // update or, when it came before the connection was inserted, at the insertion.
    auto namings = [](const std::vector<RowOp>& ops, int id) {
        return std::count_if(ops.begin(), ops.end(), [id](const RowOp& op) {
            return op.record.id == id && op.record.hostName == "mail.example.org";
        });
    };
    auto ops = list.WaitUntil([&](const std::vector<RowOp>& seen) {
        return namings(seen, 1) >= 1 && namings(seen, 2) >= 1;
    });
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Insert);
    EXPECT_EQ(ops[0].record.hostName, "10.0.0.7");
    // A further snapshot flushes anything else that was on its way.
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established),
              Row("10.0.0.7", 22, 40001, Category::Inbound, TcpState::Established),
              Row("n/a", 80, 0, Category::Listening, TcpState::Listen)});
    ops = list.WaitUntil([](const std::vector<RowOp>& seen) {
        return std::any_of(seen.begin(), seen.end(),
                           [](const RowOp& op) { return op.record.ipAddress == "n/a"; });
    });
    hub.Clear();
    lookup.Stop();
    EXPECT_EQ(namings(ops, 1), 1);
    EXPECT_EQ(namings(ops, 2), 1);
    EXPECT_EQ(calls, 1);
}

TEST_F(WorkersTest, LookupWorkerAnswersFromItsCache) {
    std::atomic<int> calls = 0;
    CReverseLookupThread lookup(
        store, hub,
        std::make_unique<TableResolver>(
            std::map<std::string, std::string>{{"10.0.0.7", "Mail.Example.ORG"}}, &calls));
    test::Recorder<HostResolved> recorder;
    Start(lookup);
    Start(recorder);

    // Lookups run in order, so once 10.0.0.7 is answered 10.0.0.99 has failed.
    Resolve("10.0.0.99");
    Resolve("n/a");
    Resolve("10.0.0.7");
    ASSERT_TRUE(recorder.WaitFor(1));
    Resolve("10.0.0.99");
    Resolve("10.0.0.7");
    ASSERT_TRUE(recorder.WaitFor(3));

    const auto received = recorder.TakeOf<HostResolved>();
    ASSERT_EQ(received.size(), 3u);
    std::vector<std::string> names;
    for (const auto& answer : received) {
        names.push_back(answer.name + " for " + answer.address);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Mail.Example.ORG for 10.0.0.7", "10.0.0.99 for 10.0.0.99",
                                        "Mail.Example.ORG for 10.0.0.7"}));
    hub.Clear();
    lookup.Stop();
    EXPECT_EQ(calls, 2);
}

TEST_F(WorkersTest, QuitDoesNotWaitForALookupThatHangs) {
    auto gate = std::make_shared<ResolverGate>();
    auto lookup = std::make_unique<CReverseLookupThread>(store, hub,
                                                         std::make_unique<BlockingResolver>(gate));
    test::Recorder<HostResolved> recorder;
    Start(*lookup);
    Start(recorder);
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) {
        Resolve(address);
    }
    ASSERT_TRUE(gate->WaitUntil([&] { return gate->calls == 1; }));

    const auto begun = std::chrono::steady_clock::now();
    lookup->PostQuit();
    lookup->Join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 1s);

    // The hanging call ends after the worker is gone; its answer goes nowhere.
    gate->Release();
    ASSERT_TRUE(gate->WaitUntil([&] { return gate->returned; }));
    hub.Clear();
    lookup.reset();
    ASSERT_TRUE(gate->WaitUntil([&] { return gate->destroyed; }));
    EXPECT_EQ(gate->calls, 1);
    EXPECT_EQ(recorder.Count(), 0u);
}

TEST_F(WorkersTest, RequestsForAnAddressUnderLookupWaitForThatOneAnswer) {
    auto gate = std::make_shared<ResolverGate>();
    CReverseLookupThread lookup(store, hub, std::make_unique<BlockingResolver>(gate));
    test::Recorder<HostResolved> recorder;
    std::mutex traceMutex;
    int handled = 0;
    hub.Registry().SetTraceSink([&](std::string_view text) {
        if (text == "ReverseLookup, 10.0.0.7") {
            std::lock_guard lock(traceMutex);
            ++handled;
        }
    });
    Start(lookup);
    Start(recorder);
    constexpr int kRequests = 50;
    for (int i = 0; i < kRequests; ++i) {
        Resolve("10.0.0.7");
    }
    // Every request is taken while the first lookup still hangs.
    for (int wait = 0; wait < 500; ++wait) {
        {
            std::lock_guard lock(traceMutex);
            if (handled == kRequests) {
                break;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    {
        std::lock_guard lock(traceMutex);
        ASSERT_EQ(handled, kRequests) << "requests wait behind the hanging lookup";
    }
    gate->Release();
    // A later request for another address is answered after the first answer.
    Resolve("10.0.0.8");
    ASSERT_TRUE(recorder.WaitFor(2));
    const auto received = recorder.TakeOf<HostResolved>();
    hub.Clear();
    lookup.Stop();
    hub.Registry().SetTraceSink({});
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].address, "10.0.0.7");
    EXPECT_EQ(received[0].name, "host-10.0.0.7");
    EXPECT_EQ(received[1].address, "10.0.0.8");
    EXPECT_EQ(received[1].name, "host-10.0.0.8");
    EXPECT_EQ(gate->calls, 2);
}

TEST_F(WorkersTest, TrackerMergesEverySnapshotQueuedBeforeItsQuit) {
    HeldList held;
    CFilterThread tracker(store, hub, held, [] { return std::time_t{500}; });
    test::Recorder<ConnectionEnded> logger;
    Start(tracker);
    Start(logger);

    Snapshot({Row("10.0.0.1", 21, 40000, Category::Inbound, TcpState::Established),
              Row("10.0.0.2", 21, 40000, Category::Inbound, TcpState::Established),
              Row("10.0.0.3", 21, 40000, Category::Inbound, TcpState::Established)});
    ASSERT_TRUE(held.WaitEntered());
    Snapshot({Row("10.0.0.4", 21, 40000, Category::Inbound, TcpState::Established)});
    Snapshot({});
    // As the program stops: the poller has ended, the tracker alone gets the quit, and the
    // logger is still registered.
    tracker.PostQuit();
    held.Release();
    tracker.Join();

    ASSERT_TRUE(logger.WaitFor(4));
    std::vector<std::string> logged;
    for (const auto& ended : logger.TakeOf<ConnectionEnded>()) {
        ASSERT_TRUE(ended.record);
        logged.push_back(ended.record->ipAddress);
    }
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(logged, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}));
    const auto ops = held.WaitFor(8);
    EXPECT_EQ(ops.size(), 8u);
}

// Sees, at every batch and every live count, whether the snapshot's token is still held.
class TokenWatchingList : public LockedList {
public:
    void Watch(std::weak_ptr<const SnapshotInFlight> token) {
        std::lock_guard lock(mutex_);
        token_ = std::move(token);
    }
    void Apply(std::vector<RowOp> ops) override {
        {
            std::lock_guard lock(mutex_);
            heldAtApply_.push_back(!token_.expired());
        }
        LockedList::Apply(std::move(ops));
    }
    void LiveCount(std::size_t) override {
        {
            std::lock_guard lock(mutex_);
            heldAtCount_.push_back(!token_.expired());
        }
        changed_.notify_all();
    }
    // Whether the token was held at each Apply and at each live count, once `counts` came.
    std::pair<std::vector<bool>, std::vector<bool>> WaitForCounts(std::size_t counts) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 5s, [&] { return heldAtCount_.size() >= counts; });
        return {heldAtApply_, heldAtCount_};
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::weak_ptr<const SnapshotInFlight> token_;
    std::vector<bool> heldAtApply_;
    std::vector<bool> heldAtCount_;
};

// The poller reads no table while a snapshot's token lives: the tracker holds it until the list
// has the merge, then lets go, even of a snapshot that changes nothing.
TEST_F(WorkersTest, TrackerReleasesTheSnapshotOnceTheListHasTheMerge) {
    TokenWatchingList watching;
    CFilterThread tracker(store, hub, watching);
    Start(tracker);
    for (int i = 0; i < 2; ++i) {
        auto token = std::make_shared<const SnapshotInFlight>();
        watching.Watch(token);
        hub.Publish(
            tarvik::Snapshot{{Row("10.0.0.1", 21, 40000, Category::Inbound, TcpState::Established)},
                             {},
                             std::move(token)});
        const auto [atApply, atCount] = watching.WaitForCounts(i + 1);
        EXPECT_EQ(atApply, std::vector<bool>{true});  // the first inserts; the second no change
        EXPECT_EQ(atCount, std::vector<bool>(i + 1, false));
    }
    tracker.PostQuit();
    tracker.Join();
}

// The store knows nothing of workers; once connected, its trace goes to the hub's.
TEST_F(WorkersTest, ConnectedStoreTracesThroughTheHub) {
    std::vector<std::string> traces;
    hub.SetTraceSink([&](std::string_view text) { traces.emplace_back(text); });
    ConnectSettings(store, hub);
    store.GetInterfaceAddresses(true);
    DisconnectSettings(store);
    store.GetInterfaceAddresses(true);
    hub.SetTraceSink({});
    EXPECT_EQ(traces, std::vector<std::string>{"config, refresh netifs"});
}

TEST_F(WorkersTest, ManyConnectionsFromOneHostAreNamedOnceEach) {
    store.SetReverseLookup(1);
    std::atomic<int> calls = 0;
    CFilterThread tracker(store, hub, list);
    CReverseLookupThread lookup(
        store, hub,
        std::make_unique<TableResolver>(
            std::map<std::string, std::string>{{"10.0.0.7", "Busy.Example"}}, &calls));
    Start(tracker);
    Start(lookup);
    constexpr int kRows = 300;
    std::vector<CConnectionRecord> rows;
    for (int i = 0; i < kRows; ++i) {
        rows.push_back(Row("10.0.0.7", 443, 1024 + i, Category::Inbound, TcpState::Established));
    }
    Snapshot(rows);
    auto named = [](const RowOp& op) { return op.record.hostName == "busy.example"; };
    list.WaitUntil([&](const std::vector<RowOp>& seen) {
        return std::count_if(seen.begin(), seen.end(), named) >= kRows;
    });
    // A second snapshot lets any further answer arrive before the count.
    rows.push_back(Row("n/a", 80, 0, Category::Listening, TcpState::Listen));
    Snapshot(rows);
    const auto ops = list.WaitUntil([](const std::vector<RowOp>& seen) {
        return std::any_of(seen.begin(), seen.end(),
                           [](const RowOp& op) { return op.record.ipAddress == "n/a"; });
    });
    hub.Clear();
    lookup.Stop();
    // Each connection is named once: by its insertion when the answer came first, else by one
    // update.
    EXPECT_EQ(std::count_if(ops.begin(), ops.end(), named), kRows);
    EXPECT_LE(ops.size(), static_cast<std::size_t>(2 * kRows + 1));
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tarvik
