#include "logging/PortFilter.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

struct FilterRow {
    LogCategory category;
    int mode;
    PortList ports;
    int localPort;
    int remotePort;
    bool logged;
};

CConnectionRecord Connection(int localPort, int remotePort) {
    CConnectionRecord record;
    record.localPort = localPort;
    record.remotePort = remotePort;
    return record;
}

void ExpectRows(const std::vector<FilterRow>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "category " << static_cast<int>(row.category) << " mode " << row.mode
                     << " local " << row.localPort << " remote " << row.remotePort);
        EXPECT_EQ(PassesPortFilter(row.category, row.mode, row.ports,
                                   Connection(row.localPort, row.remotePort)),
                  row.logged);
    }
}

TEST(PortFilter, InboundComparesTheLocalPort) {
    const PortList web{80, 443};
    ExpectRows({
        {LogCategory::Inbound, 1, web, 80, 5000, true},
        {LogCategory::Inbound, 2, web, 80, 5000, false},
        {LogCategory::Inbound, 2, web, 25, 80, true},
        {LogCategory::Inbound, 3, web, 443, 5000, true},
        {LogCategory::Inbound, 3, web, 25, 80, false},
        // Any mode but 1 and 2 logs only the listed ports.
        {LogCategory::Inbound, 0, web, 80, 5000, true},
        {LogCategory::Inbound, 7, web, 25, 5000, false},
    });
}

TEST(PortFilter, OutboundComparesTheRemotePort) {
    const PortList web{80, 443};
    ExpectRows({
        {LogCategory::Outbound, 2, web, 40000, 443, false},
        {LogCategory::Outbound, 2, web, 80, 22, true},
        {LogCategory::Outbound, 3, web, 40000, 80, true},
        {LogCategory::Outbound, 3, web, 443, 22, false},
    });
}

TEST(PortFilter, UnknownIsListedWhenEitherPortIs) {
    const PortList irc{6667};
    ExpectRows({
        {LogCategory::Unknown, 3, irc, 1025, 6667, true},
        {LogCategory::Unknown, 3, irc, 6667, 1025, true},
        {LogCategory::Unknown, 3, irc, 1025, 1026, false},
        {LogCategory::Unknown, 2, irc, 1025, 6667, false},
        {LogCategory::Unknown, 2, irc, 1025, 1026, true},
    });
}

TEST(PortFilter, EmptyListLogsNothingWhenListedOnlyAndEverythingOtherwise) {
    ExpectRows({
        {LogCategory::Inbound, 3, {}, 80, 80, false},
        {LogCategory::Unknown, 3, {}, 80, 80, false},
        {LogCategory::Inbound, 2, {}, 80, 80, true},
        {LogCategory::Outbound, 2, {}, 80, 80, true},
        {LogCategory::Outbound, 1, {}, 80, 80, true},
    });
}

TEST(PortFilter, OnlyConnectionCategoriesHaveALog) {
    EXPECT_EQ(LogCategoryOf(Category::Inbound), LogCategory::Inbound);
    EXPECT_EQ(LogCategoryOf(Category::Outbound), LogCategory::Outbound);
    EXPECT_EQ(LogCategoryOf(Category::Unknown), LogCategory::Unknown);
    EXPECT_FALSE(LogCategoryOf(Category::Listening).has_value());
    EXPECT_FALSE(LogCategoryOf(Category::None).has_value());
}

}  // namespace
}  // namespace tarvik
