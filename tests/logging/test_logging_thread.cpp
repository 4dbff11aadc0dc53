#include "logging/LoggingThread.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "LoggerFixture.h"

namespace tarvik {
namespace {

using testing::kHeaderLine;
using testing::LineCount;
using testing::LoggerTest;
using testing::UtcTime;

using LoggingThreadTest = LoggerTest;

const std::time_t kMay7 = UtcTime(2003, 5, 7, 14, 5, 10);

ConnectionEnded Ended(CConnectionRecord record) {
    return {std::make_shared<const CConnectionRecord>(std::move(record))};
}

TEST_F(LoggingThreadTest, WritesEveryPostedRecordBeforeQuitting) {
    CLoggingThread worker(store_, hub_);
    ASSERT_TRUE(worker.Subscribes(typeid(ConnectionEnded)));
    worker.Start();
    for (int port = 1; port <= 5; ++port) {
        ASSERT_TRUE(worker.Post(Ended(Record(Category::Inbound, kMay7, port))));
    }
    // A record of no loggable kind and a message without a record are dropped quietly.
    ASSERT_TRUE(worker.Post(Ended(Record(Category::Listening, kMay7))));
    ASSERT_TRUE(worker.Post(ConnectionEnded{}));
    ASSERT_TRUE(worker.PostQuit());
    worker.Join();

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(log), 6);
    EXPECT_NE(log.find(",1,inbound ftp\n"), std::string::npos);
    EXPECT_NE(log.find(",5,inbound ftp\n"), std::string::npos);
}

// The records taken in one go are written before the worker waits again, and a quit right
// behind them writes them too: whole, in order, each file its own.
TEST_F(LoggingThreadTest, LinesOfOneDrainAreWrittenBeforeWaitingAndAtQuit) {
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quit behind the records" : "no quit");
        const std::string day = quit ? "8" : "7";
        const std::time_t closeTime = quit ? kMay7 + 86400 : kMay7;
        CLoggingThread worker(store_, hub_, Hooks());
        worker.Start();
        std::vector<LoggerInbox> drain;
        std::string inbound = kHeaderLine;
        std::string outbound = kHeaderLine;
        for (int port = 1; port <= 6; ++port) {
            const Category category = port % 3 == 0 ? Category::Outbound : Category::Inbound;
            CConnectionRecord record = Record(category, closeTime, port);
            (category == Category::Inbound ? inbound : outbound) += record.CsvText() + "\n";
            drain.emplace_back(Ended(std::move(record)));
        }
        ASSERT_TRUE(worker.PostAll(std::move(drain)));
        if (quit) {
            ASSERT_TRUE(worker.PostQuit());
            worker.Join();
        } else {
            EXPECT_TRUE(writer_.WaitForLineEnds(LineCount(inbound) + LineCount(outbound)));
        }
        EXPECT_EQ(Log("inbound. " + day + ". 5.2003"), inbound);
        EXPECT_EQ(Log("outbound. " + day + ". 5.2003"), outbound);
    }
}

// Each reading of the clock is a second later than the last, so any retry is due.
LoggerHooks SteppingClock(LoggerHooks hooks, testing::FakeClock& clock) {
    hooks.now = [&clock] {
        clock.Advance(std::chrono::seconds(1));
        return clock.Now();
    };
    return hooks;
}

TEST_F(LoggingThreadTest, PollTickWritesLinesHeldBackByAFailure) {
    CLoggingThread worker(store_, hub_, SteppingClock(Hooks(), clock_));
    ASSERT_TRUE(worker.Subscribes(typeid(Poll)));
    worker.Start();
    writer_.FailNext(1);
    ASSERT_TRUE(worker.Post(Ended(Record(Category::Inbound, kMay7, 1))));
    ASSERT_TRUE(worker.Post(Poll{}));

    // Bounded wait for the worker: the tick alone must bring the line out.
    std::string log;
    for (int i = 0; i < 300 && LineCount(log) < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = Log("inbound. 7. 5.2003");
    }
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_NE(log.find(",1,inbound ftp\n"), std::string::npos);
    ASSERT_TRUE(worker.PostQuit());
    worker.Join();
    EXPECT_EQ(MessagesWith("Inbound connection logging resumed"), 1u);
}

TEST_F(LoggingThreadTest, QuitTellsHowManyHeldBackLinesAreLost) {
    CLoggingThread worker(store_, hub_, Hooks());
    worker.Start();
    writer_.SetMode(testing::ScriptedWriter::Mode::Full);
    ASSERT_TRUE(worker.Post(Ended(Record(Category::Outbound, kMay7))));
    ASSERT_TRUE(worker.PostQuit());
    worker.Join();
    EXPECT_EQ(MessagesWith("1 outbound line was lost"), 1u);
}

}  // namespace
}  // namespace tarvik
