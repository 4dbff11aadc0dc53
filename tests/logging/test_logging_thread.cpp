#include "logging/LoggingThread.h"

#include <filesystem>

#include "LoggerFixture.h"

namespace tarvik {
namespace {

using testing::kHeaderLine;
using testing::LineCount;
using testing::LoggerTest;
using testing::UtcTime;

using LoggingThreadTest = LoggerTest;

const std::time_t kMay7 = UtcTime(2003, 5, 7, 14, 5, 10);

TEST_F(LoggingThreadTest, WritesEveryPostedRecordBeforeQuitting) {
    CLoggingThread worker(store_);
    ASSERT_TRUE(worker.Handles(kMsgLogConnection));
    worker.Start();
    for (int port = 1; port <= 5; ++port) {
        ASSERT_TRUE(worker.Post(
            {kMsgLogConnection, Payload::Record(Record(kCategoryInbound, kMay7, port)), {}}));
    }
    // A record of no loggable kind and a message without a record are dropped quietly.
    ASSERT_TRUE(
        worker.Post({kMsgLogConnection, Payload::Record(Record(kCategoryListening, kMay7)), {}}));
    ASSERT_TRUE(worker.Post({kMsgLogConnection, {}, {}}));
    ASSERT_TRUE(worker.Post({kMsgQuit, {}, {}}));
    worker.Join();

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(log), 6);
    EXPECT_NE(log.find(",1,inbound ftp\n"), std::string::npos);
    EXPECT_NE(log.find(",5,inbound ftp\n"), std::string::npos);
}

}  // namespace
}  // namespace tarvik
