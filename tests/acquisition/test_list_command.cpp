#include <gtest/gtest.h>

#include <sstream>

#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"
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
    CMibAgent agent(std::make_unique<CFixtureTableSource>(
        std::vector<TcpRow>{Row("10.0.0.5", 1024, "10.0.0.9", 25, 5),
                            Row("0.0.0.0", 21, "0.0.0.0", 0, 2)},
        std::vector<Ipv4Octets>{}));
    const auto services = CServicesDatabase::FromText("ftp 21/tcp\nsmtp 25/tcp\n");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunListCommand(agent, services, out, err), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(Lines(out.str()),
              (std::vector<std::string>{
                  "Hostname  IP Address  Local Port  Remote Port  Service Type   Interface  "
                  "Connection State  Category   Process",
                  "n/a       n/a         21          n/a          ftp server     127.0.0.1  "
                  "Listening         listening",
                  "10.0.0.9  10.0.0.9    1024        25           outbound smtp  10.0.0.5   "
                  "Established       outbound",
              }));
}

TEST(ListCommandTest, ReportsATableThatCannotBeRead) {
    const CServicesDatabase services;
    std::ostringstream out;
    std::ostringstream err;
    CMibAgent unloaded(nullptr);
    EXPECT_EQ(RunListCommand(unloaded, services, out, err), 1);
    EXPECT_NE(err.str(), "");

    auto source = std::make_unique<CFixtureTableSource>();
    source->SetFailing(true);
    CMibAgent failing(std::move(source));
    std::ostringstream out2;
    std::ostringstream err2;
    EXPECT_EQ(RunListCommand(failing, services, out2, err2), 1);
    EXPECT_EQ(Lines(out2.str()).size(), 1u);  // the heading alone
    EXPECT_NE(err2.str(), "");
}

}  // namespace
}  // namespace tarvik
