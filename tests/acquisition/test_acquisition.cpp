// Choosing the back-end, and the kernel's socket-end notices on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "acquisition/Acquisition.h"
#include "acquisition/DestroyEventSource.h"
#include "base/UniqueFd.h"
#include "support/FakeEventSource.h"
#include "support/ScanLoopback.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using testing::CFakeEventSource;

EventSourceFactory Refusing(std::string reason) {
    return [reason](std::string* out) -> std::unique_ptr<IEventSource> {
        *out = reason;
        return nullptr;
    };
}

EventSourceFactory Working(AcquisitionMode mode) {
    return [mode](std::string*) -> std::unique_ptr<IEventSource> {
        return std::make_unique<CFakeEventSource>(mode);
    };
}

TEST(AcquisitionTest, AutoTakesTheFirstThatRunsAndSaysWhatItSkipped) {
    AcquisitionFactories both{Working(AcquisitionMode::Events), Working(AcquisitionMode::Destroy)};
    AcquisitionChoice best = OpenAcquisition(AcquisitionMode::Auto, both);
    EXPECT_EQ(best.mode, AcquisitionMode::Events);
    ASSERT_TRUE(best.source);
    EXPECT_EQ(best.source->Mode(), AcquisitionMode::Events);
    EXPECT_EQ(best.Summary(), "acquisition: events");

    AcquisitionFactories noEvents{nullptr, Working(AcquisitionMode::Destroy)};
    AcquisitionChoice destroy = OpenAcquisition(AcquisitionMode::Auto, noEvents);
    EXPECT_EQ(destroy.mode, AcquisitionMode::Destroy);
    EXPECT_EQ(destroy.Summary(), "acquisition: destroy (events: not built)");

    AcquisitionFactories none{Refusing("Operation not permitted"),
                              Refusing("Protocol not supported")};
    AcquisitionChoice poll = OpenAcquisition(AcquisitionMode::Auto, none);
    EXPECT_EQ(poll.mode, AcquisitionMode::Poll);
    EXPECT_FALSE(poll.source);
    EXPECT_EQ(poll.Summary(),
              "acquisition: poll (events: Operation not permitted; destroy: Protocol not "
              "supported)");
}

TEST(AcquisitionTest, AnExplicitModeThatCannotRunFallsBackWithOneLineSayingWhy) {
    AcquisitionFactories factories{
        Refusing("Operation not permitted: needs CAP_BPF and CAP_PERFMON"),
        Working(AcquisitionMode::Destroy)};
    AcquisitionChoice choice = OpenAcquisition(AcquisitionMode::Events, factories);
    EXPECT_EQ(choice.mode, AcquisitionMode::Destroy);
    EXPECT_EQ(choice.Summary(),
              "acquisition: events unavailable (Operation not permitted: needs CAP_BPF and "
              "CAP_PERFMON); using destroy");

    AcquisitionFactories noDestroy{Working(AcquisitionMode::Events), Refusing("Permission denied")};
    AcquisitionChoice poll = OpenAcquisition(AcquisitionMode::Destroy, noDestroy);
    EXPECT_EQ(poll.mode, AcquisitionMode::Poll);  // never up to events from an explicit destroy
    EXPECT_EQ(poll.Summary(), "acquisition: destroy unavailable (Permission denied); using poll");
}

TEST(AcquisitionTest, PollAndAWorkingExplicitModeAreTakenAsAsked) {
    AcquisitionFactories both{Working(AcquisitionMode::Events), Working(AcquisitionMode::Destroy)};
    AcquisitionChoice poll = OpenAcquisition(AcquisitionMode::Poll, both);
    EXPECT_EQ(poll.mode, AcquisitionMode::Poll);
    EXPECT_FALSE(poll.source);
    EXPECT_EQ(poll.Summary(), "acquisition: poll");
    AcquisitionChoice destroy = OpenAcquisition(AcquisitionMode::Destroy, both);
    EXPECT_EQ(destroy.mode, AcquisitionMode::Destroy);
    EXPECT_EQ(destroy.Summary(), "acquisition: destroy");
}

// The start line says what the source says of itself, also once the source was handed on.
TEST(AcquisitionTest, TheStartLineKeepsTheSourcesDetail) {
    struct CDetailed : CFakeEventSource {
        CDetailed() : CFakeEventSource(AcquisitionMode::Events) {}
        std::string Detail() const override { return "accepting processes: not followed"; }
    };
    AcquisitionFactories factories{
        [](std::string*) -> std::unique_ptr<IEventSource> { return std::make_unique<CDetailed>(); },
        Working(AcquisitionMode::Destroy)};
    AcquisitionChoice choice = OpenAcquisition(AcquisitionMode::Auto, factories);
    const std::unique_ptr<IEventSource> handedOn = std::move(choice.source);
    EXPECT_EQ(choice.Summary(), "acquisition: events (accepting processes: not followed)");
}

sockaddr_in Loopback(std::uint16_t port) {
    return test::LoopbackAddress("127.0.0.1", port);
}

struct LoopbackPair {
    UniqueFd client;
    UniqueFd accepted;
    std::uint16_t clientPort = 0;
};

// A listener on a free port of 127.0.0.1.
UniqueFd Listener(std::uint16_t& port) {
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in any = Loopback(0);
    if (bind(listener.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
        listen(listener.Get(), 64) != 0) {
        return UniqueFd();
    }
    port = test::LocalPortOf(listener.Get());
    return listener;
}

LoopbackPair Connect(int listener, std::uint16_t port) {
    LoopbackPair pair;
    pair.client = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port);
    if (connect(pair.client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
        return {};
    }
    pair.clientPort = test::LocalPortOf(pair.client.Get());
    pair.accepted = UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return pair;
}

// Drains until `done` holds for what came, for at most 3 s.
template <typename Done>
std::vector<TcpEvent> DrainUntil(IEventSource& source, Done done) {
    std::vector<TcpEvent> all;
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (!done(all) && std::chrono::steady_clock::now() < end) {
        for (TcpEvent& event : source.Drain()) {
            all.push_back(event);
        }
        std::this_thread::sleep_for(10ms);
    }
    return all;
}

TEST(DestroyEventSourceTest, BothEndsOfALoopbackConnectionAreReportedWithAddressesAndCookies) {
    std::string error;
    auto source = CDestroyEventSource::Open(&error);
    if (!source) {
        GTEST_SKIP() << "no socket-end notices here: " << error;
    }
    EXPECT_EQ(source->Mode(), AcquisitionMode::Destroy);
    EXPECT_TRUE(source->NeedsDumpEveryTick());
    std::uint16_t port = 0;
    UniqueFd listener = Listener(port);
    ASSERT_TRUE(listener);
    LoopbackPair pair = Connect(listener.Get(), port);
    ASSERT_TRUE(pair.accepted);
    const std::uint16_t clientPort = pair.clientPort;
    pair.client.Reset();
    pair.accepted.Reset();

    auto ours = [&](const TcpEvent& event) {
        return (event.row.localPort == clientPort && event.row.remotePort == port) ||
               (event.row.localPort == port && event.row.remotePort == clientPort);
    };
    const auto events = DrainUntil(*source, [&](const std::vector<TcpEvent>& all) {
        return std::count_if(all.begin(), all.end(), ours) >= 2;
    });
    std::vector<TcpEvent> mine;
    std::copy_if(events.begin(), events.end(), std::back_inserter(mine), ours);
    ASSERT_EQ(mine.size(), 2u);
    const std::time_t now = std::time(nullptr);
    for (const TcpEvent& event : mine) {
        EXPECT_EQ(event.kind, TcpEvent::Kind::Ended);
        EXPECT_EQ(event.row.family, AddressFamily::Ipv4);
        EXPECT_EQ(AddressText(event.row.family, event.row.remoteAddress), "127.0.0.1");
        EXPECT_EQ(AddressText(event.row.family, event.row.localAddress), "127.0.0.1");
        EXPECT_NE(event.row.cookie, 0u);
        EXPECT_LE(std::abs(now - event.time), 5);
    }
    EXPECT_NE(mine[0].row.cookie, mine[1].row.cookie);
    EXPECT_FALSE(source->TakeLoss());
}

TEST(DestroyEventSourceTest, AUdpSocketsEndIsAUdpRowConnectedOrNot) {
    std::string error;
    auto source = CDestroyEventSource::Open(&error);
    if (!source) {
        GTEST_SKIP() << "no socket-end notices here: " << error;
    }
    UniqueFd bound(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    UniqueFd connected(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = test::LoopbackAddress("127.0.0.1", 0);
    ASSERT_EQ(bind(bound.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    address.sin_port = htons(test::LocalPortOf(bound.Get()));
    ASSERT_EQ(connect(connected.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int ports[] = {test::LocalPortOf(bound.Get()), test::LocalPortOf(connected.Get())};
    bound.Reset();
    connected.Reset();
    auto ours = [&](const TcpEvent& event) {
        return event.row.protocol == Protocol::Udp &&
               (event.row.localPort == ports[0] || event.row.localPort == ports[1]);
    };
    auto events = DrainUntil(*source, [&](const std::vector<TcpEvent>& all) {
        return std::count_if(all.begin(), all.end(), ours) >= 2;
    });
    std::erase_if(events, [&](const TcpEvent& event) { return !ours(event); });
    ASSERT_EQ(events.size(), 2u);
    for (const TcpEvent& event : events) {
        const bool isConnected = event.row.localPort == ports[1];
        EXPECT_EQ(event.kind, TcpEvent::Kind::Ended);
        EXPECT_EQ(event.row.state, isConnected ? TcpState::Established : TcpState::Listen);
        EXPECT_EQ(event.row.remotePort, isConnected ? ports[0] : 0);
        EXPECT_NE(event.row.cookie, 0u);
    }
}

TEST(DestroyEventSourceTest, NoticesPastTheQueuesBoundAreDroppedAndReportedAsALoss) {
    std::string error;
    auto source = CDestroyEventSource::Open(&error, 4);
    if (!source) {
        GTEST_SKIP() << "no socket-end notices here: " << error;
    }
    std::uint16_t port = 0;
    UniqueFd listener = Listener(port);
    ASSERT_TRUE(listener);
    for (int i = 0; i < 5; ++i) {
        LoopbackPair pair = Connect(listener.Get(), port);
        ASSERT_TRUE(pair.accepted);
    }
    // Ten ends at least (other sockets of the machine may add to them), four kept.
    const auto end = std::chrono::steady_clock::now() + 3s;
    bool lost = false;
    while (!lost && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
        lost = source->TakeLoss();
    }
    EXPECT_TRUE(lost);
    EXPECT_EQ(source->Drain().size(), 4u);
    EXPECT_FALSE(source->TakeLoss());  // reading cleared it
}

TEST(DestroyEventSourceTest, StopsPromptlyWhileNothingArrives) {
    std::string error;
    auto source = CDestroyEventSource::Open(&error);
    if (!source) {
        GTEST_SKIP() << "no socket-end notices here: " << error;
    }
    const auto start = std::chrono::steady_clock::now();
    source.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
}  // namespace tarvik
