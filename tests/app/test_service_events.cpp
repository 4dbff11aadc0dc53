#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <future>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/ConsoleSinks.h"
#include "app/EventStream.h"
#include "app/ListFormats.h"
#include "app/ServiceEvents.h"
#include "base/UniqueFd.h"

namespace tarvik {
namespace {

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read.Reset(fds[0]);
            write.Reset(fds[1]);
        }
    }
    // Everything written so far, once the writer's end is closed.
    std::string Drain() {
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(read.Get(), buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
};

std::vector<nlohmann::json> Lines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

CConnectionRecord Connection(int id, TcpState state) {
    CConnectionRecord record;
    record.id = id;
    record.state = state;
    record.category = Category::Inbound;
    record.localPort = 22;
    record.remotePort = 50000 + id;
    record.ipAddress = record.hostName = "10.0.0.7";
    record.interfaceText = "10.0.0.1";
    record.serviceText = "inbound ssh";
    record.openTime = 1061553787;
    return record;
}

class RecordingList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override { applied += ops.size(); }
    void Opened(const CConnectionRecord&) override { ++opened; }
    void Ended(const CConnectionRecord&) override { ++ended; }
    void LiveCount(std::size_t count) override { live = count; }
    std::size_t applied = 0;
    int opened = 0;
    int ended = 0;
    std::size_t live = 0;
};

TEST(EventStreamTest, WritesWholeLinesInOrder) {
    Pipe pipe;
    ASSERT_TRUE(pipe.read.Valid());
    {
        CEventStream stream(pipe.write.Get(), 64);
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(stream.Offer("{\"n\": " + std::to_string(i) + "}"));
        }
    }  // the destructor writes what waits
    pipe.write.Reset();
    const auto lines = Lines(pipe.Drain());
    ASSERT_EQ(lines.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(lines[static_cast<std::size_t>(i)]["n"], i);
    }
}

TEST(EventStreamTest, AReaderThatTakesNothingCostsDropsNotAWait) {
    Pipe pipe;
    ASSERT_TRUE(pipe.read.Valid());
    // A 4 KiB pipe and long lines: the writer soon blocks on a full pipe.
    ASSERT_GE(::fcntl(pipe.write.Get(), F_SETPIPE_SZ, 4096), 0);
    const std::string line(1000, 'x');
    std::size_t dropped = 0;
    {
        CEventStream stream(pipe.write.Get(), 8, std::chrono::milliseconds(200));
        for (int i = 0; i < 200; ++i) {
            dropped += stream.Offer("\"" + line + "\"") ? 0 : 1;
        }
        EXPECT_GT(dropped, 0u);
        EXPECT_GE(stream.Lost(), dropped);
    }  // gives up on the stuck reader after the drain limit instead of hanging
    pipe.write.Reset();
    // What did go out is whole lines, and a reader that catches up learns of the loss.
    const std::string text = pipe.Drain();
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NO_THROW(Lines(text));
}

TEST(EventStreamTest, ALineLargerThanAStalledPipeHoldsTheEndNoLongerThanTheDrainLimit) {
    Pipe pipe;
    ASSERT_GE(::fcntl(pipe.write.Get(), F_SETPIPE_SZ, 4096), 0);
    auto ended = std::async(std::launch::async, [&] {
        CEventStream stream(pipe.write.Get(), 4, std::chrono::milliseconds(50));
        stream.Offer("\"" + std::string(3 * 4096, 'z') + "\"");
    });  // nobody reads: the line never fits
    const bool inTime = ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    pipe.read.Reset();  // fails a write(2) that blocks, so that the test itself ends
    EXPECT_TRUE(inTime) << "the writer blocked in write(2) past its drain limit";
}

TEST(EventStreamTest, TheNextLineAfterDropsTellsHowManyWent) {
    Pipe pipe;
    ASSERT_GE(::fcntl(pipe.write.Get(), F_SETPIPE_SZ, 4096), 0);
    const std::string big = "\"" + std::string(3000, 'y') + "\"";
    {
        CEventStream stream(pipe.write.Get(), 2, std::chrono::milliseconds(2000));
        int dropped = 0;
        for (int i = 0; i < 50 && dropped < 3; ++i) {
            dropped += stream.Offer(big) ? 0 : 1;
        }
        ASSERT_EQ(dropped, 3);
        // Make room: read what the writer managed to put out, then wait (bounded) until
        // the queue takes a line again.
        std::string drained;
        bool accepted = false;
        for (int i = 0; i < 200 && !accepted; ++i) {
            char buffer[8192];
            const ssize_t got = ::read(pipe.read.Get(), buffer, sizeof buffer);
            if (got > 0) {
                drained.append(buffer, static_cast<std::size_t>(got));
            }
            accepted = stream.Offer("{\"after\": true}");
            if (!accepted) {
                usleep(10000);
            }
        }
        ASSERT_TRUE(accepted);
        const int flags = ::fcntl(pipe.read.Get(), F_GETFL);
        ASSERT_EQ(::fcntl(pipe.read.Get(), F_SETFL, flags | O_NONBLOCK), 0);
        std::string rest;
        for (int i = 0; i < 300 && rest.find("after") == std::string::npos; ++i) {
            char buffer[8192];
            const ssize_t got = ::read(pipe.read.Get(), buffer, sizeof buffer);
            if (got > 0) {
                rest.append(buffer, static_cast<std::size_t>(got));
            } else {
                usleep(10000);
            }
        }
        const auto lines = Lines(drained + rest);
        ASSERT_GE(lines.size(), 2u);
        const auto& loss = lines[lines.size() - 2];
        EXPECT_EQ(loss["event"], "lost");
        EXPECT_GE(loss["lost"].get<int>(), 3);
        EXPECT_EQ(lines.back()["after"], true);
    }
}

// Appends what the pipe holds to `text`, waiting up to 10 ms for it.
void ReadSome(int fd, std::string& text) {
    pollfd ready{fd, POLLIN, 0};
    char buffer[8192];
    if (::poll(&ready, 1, 10) > 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        text.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
}

TEST(EventStreamTest, EachLossLineCountsOnlyTheDropsSinceTheLastOne) {
    Pipe pipe;
    // One 3000-byte line fills the 4 KiB pipe: a reader that stops reading soon costs drops.
    ASSERT_GE(::fcntl(pipe.write.Get(), F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(::fcntl(pipe.read.Get(), F_SETFL, O_NONBLOCK), 0);
    const std::string big = "\"" + std::string(3000, 'y') + "\"";
    CEventStream stream(pipe.write.Get(), 2, std::chrono::milliseconds(2000));
    std::string text;
    for (int cycle = 1; cycle <= 2; ++cycle) {
        int dropped = 0;  // since the last line taken, so not yet told
        for (int i = 0; i < 50 && dropped < 3; ++i) {
            dropped = stream.Offer(big) ? 0 : dropped + 1;
        }
        ASSERT_EQ(dropped, 3);
        // The reader catches up until a line is taken again, and reads up to that line.
        const std::string marker = "{\"cycle\": " + std::to_string(cycle) + "}";
        bool taken = false;
        for (int i = 0; i < 500 && !taken; ++i) {
            ReadSome(pipe.read.Get(), text);
            taken = stream.Offer(marker);
            dropped += taken ? 0 : 1;
        }
        ASSERT_TRUE(taken);
        for (int i = 0; i < 500 && !text.ends_with(marker + "\n"); ++i) {
            ReadSome(pipe.read.Get(), text);
        }
        const auto lines = Lines(text);
        ASSERT_GE(lines.size(), 2u);
        const auto& loss = lines[lines.size() - 2];
        ASSERT_TRUE(loss.is_object()) << cycle;
        EXPECT_EQ(loss["event"], "lost");
        EXPECT_EQ(loss["lost"], dropped) << cycle;
        EXPECT_EQ(lines.back()["cycle"], cycle);
    }
}

TEST(EventStreamTest, AClosedReaderEndsWritingWithoutEndingTheProcess) {
    Pipe pipe;
    pipe.read.Reset();  // writing now raises SIGPIPE unless the writer keeps it off
    CEventStream stream(pipe.write.Get(), 16, std::chrono::milliseconds(200));
    stream.Offer("{}");
    for (int i = 0; i < 200 && stream.Lost() == 0; ++i) {
        usleep(5000);
    }
    EXPECT_EQ(stream.Lost(), 1u);
    EXPECT_FALSE(stream.Offer("{}"));
}

TEST(ServiceEventsTest, EveryConnectionOpensChangesAndClosesAndEveryEndIsCounted) {
    Pipe pipe;
    RecordingList inner;
    CMonitorCounters counters;
    {
        CEventStream stream(pipe.write.Get(), 64);
        CServiceListTap tap(inner, counters, &stream, [] { return std::time_t{1061553800}; });
        // The tracker tells of every connection, shown in the list or not.
        tap.Opened(Connection(1, TcpState::Established));
        tap.Opened(Connection(2, TcpState::Established));
        tap.Apply({RowOp{RowOp::Kind::Insert, Connection(1, TcpState::Established)}});
        tap.Updated(Connection(1, TcpState::FinWait1));
        CConnectionRecord ended = Connection(1, TcpState::TimeWait);
        ended.closeTime = 1061553799;
        ended.bytes = {100000, 7000};
        tap.Ended(ended);
        tap.LiveCount(7);
        tap.NoticesLost(1061553800);
        EXPECT_EQ(inner.applied, 1u);  // every operation and notice still reaches the list
        EXPECT_EQ(inner.opened, 2);
        EXPECT_EQ(inner.ended, 1);
        EXPECT_EQ(inner.live, 7u);
    }
    pipe.write.Reset();
    auto lines = Lines(pipe.Drain());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4]["event"], "lost");
    EXPECT_EQ(lines[4]["source"], "kernel");
    lines.pop_back();
    EXPECT_EQ(lines[2]["event"], "update");
    EXPECT_EQ(lines[2]["state"], "fin-wait-1");
    EXPECT_EQ(lines[2]["time"], "2003-08-22T12:03:20.000Z");
    lines.erase(lines.begin() + 2);
    EXPECT_EQ(lines[0]["event"], "open");
    EXPECT_EQ(lines[0]["state"], "established");
    EXPECT_EQ(lines[0]["remotePort"], 50001);
    EXPECT_FALSE(lines[0].contains("closeTime"));
    EXPECT_EQ(lines[1]["event"], "open");
    EXPECT_EQ(lines[1]["remotePort"], 50002);
    EXPECT_EQ(lines[2]["event"], "close");
    EXPECT_EQ(lines[2]["state"], "time-wait");
    EXPECT_EQ(lines[2]["closeTime"], IsoTime(1061553799));
    EXPECT_EQ(lines[2]["time"], "2003-08-22T12:03:19.000Z");
    EXPECT_EQ(lines[2]["bytesSent"], 100000);
    EXPECT_EQ(lines[2]["bytesReceived"], 7000);
    EXPECT_EQ(counters.Snapshot().endedConnections, 1u);
    EXPECT_EQ(counters.Snapshot().noticeLosses, 1u);
    const auto endedBytes = counters.Snapshot().endedBytes;
    ASSERT_EQ(endedBytes.size(), 1u);
    EXPECT_EQ(endedBytes.begin()->second, (ByteCounts{100000, 7000}));
}

TEST(ServiceEventsTest, RowsAreMadeOnlyWhenTheConsoleShowsThem) {
    CConsoleWriter writer(stderr);
    CMonitorCounters counters;
    for (CConsoleWriter* shown : {static_cast<CConsoleWriter*>(nullptr), &writer}) {
        CConsoleList list(shown);
        CServiceListTap tap(list, counters, nullptr);
        EXPECT_EQ(list.TakesRows(), shown != nullptr);
        EXPECT_EQ(tap.TakesRows(), shown != nullptr);
    }
}

TEST(ServiceEventsTest, AlertsAreCountedAndSentAsTheyArePublished) {
    Pipe pipe;
    CMonitorCounters counters;
    {
        CEventStream stream(pipe.write.Get(), 64);
        CAlertEventWorker worker(counters, &stream);
        worker.Start();
        ScanAlertEvent alert{"fd00::66", {21, 22, 23}, "connect", 1061553787};
        ASSERT_TRUE(worker.Subscribes(typeid(ScanAlertEvent)));
        worker.Post(alert);
        worker.Post(ScanAlertsSuppressed{2000, {"198.18.0.1", "198.18.0.2"}, 1061553847});
        worker.PostQuit();
        worker.Join();
    }
    pipe.write.Reset();
    const auto lines = Lines(pipe.Drain());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "alert");
    EXPECT_EQ(lines[0]["remoteAddress"], "fd00::66");
    EXPECT_EQ(lines[0]["family"], 6);
    EXPECT_EQ(lines[0]["localPorts"], nlohmann::json({21, 22, 23}));
    EXPECT_EQ(lines[0]["kind"], "connect");
    EXPECT_EQ(lines[0]["time"], "2003-08-22T12:03:07.000Z");
    // Held-back alerts are one line, and count as alerts all the same.
    EXPECT_EQ(lines[1]["event"], "suppressed");
    EXPECT_EQ(lines[1]["suppressed"], 2000);
    EXPECT_EQ(lines[1]["remoteAddresses"], nlohmann::json({"198.18.0.1", "198.18.0.2"}));
    EXPECT_EQ(lines[1]["time"], "2003-08-22T12:04:07.000Z");
    EXPECT_EQ(counters.Snapshot().alerts, 2001u);
}

}  // namespace
}  // namespace tarvik
