#include <gtest/gtest.h>

#include <sstream>

#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
#include "app/ListCommand.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::Row;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(ListCommandTest, PrintsAHeadingAndOneAlignedRowPerConnection) {
    CFixtureTableSource source(
        std::vector<TcpRow>{Row("0.0.0.0", 21, "0.0.0.0", 0, TcpState::Listen),
                            Row("10.0.0.5", 1024, "10.0.0.9", 25, TcpState::Established),
                            Row("::1", 1025, "::1", 21, TcpState::Established)});
    const auto services = CServicesDatabase::FromText("ftp 21/tcp\nsmtp 25/tcp\n");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunListCommand(source, services, out, err), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(Lines(out.str()),
              (std::vector<std::string>{
                  "Hostname   IP Address  Local Port  Remote Port  Service Type   Interface  "
                  "Connection State  Sent  Received  Category   Process  Protocol",
                  "n/a        n/a         21          n/a          ftp server     127.0.0.1  "
                  "Listening         0 B   0 B       listening           tcp",
                  "10.0.0.9   10.0.0.9    1024        25           outbound smtp  10.0.0.5   "
                  "Established       0 B   0 B       outbound            tcp",
                  "localhost  ::1         1025        21           outbound ftp   ::1        "
                  "Established       0 B   0 B       outbound            tcp",
              }));
}

TEST(ListCommandTest, ReportsATableThatCannotBeReadWithItsReason) {
    const CServicesDatabase services;
    CFixtureTableSource source;
    source.SetFailing(true, EACCES);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunListCommand(source, services, out, err), 1);
    EXPECT_EQ(Lines(out.str()).size(), 1u);  // the heading alone
    EXPECT_EQ(err.str(), "tarvikd: the connection table could not be read: Permission denied\n");
}

}  // namespace
}  // namespace tarvik
