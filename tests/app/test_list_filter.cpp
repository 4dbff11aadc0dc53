#include <gtest/gtest.h>

#include "app/ListFilter.h"

namespace tarvik {
namespace {

CConnectionRecord Row(Category category, int state, int localPort, int remotePort,
                      std::string remote = "10.0.0.7", std::string local = "10.0.0.1") {
    CConnectionRecord record;
    record.category = category;
    record.state = state;
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.ipAddress = std::move(remote);
    record.interfaceText = std::move(local);
    record.family = record.interfaceText.find(':') != std::string::npos ? AddressFamily::Ipv6
                                                                        : AddressFamily::Ipv4;
    return record;
}

TEST(ListFilterTest, StateNamesInBothNamingsAndAnyCase) {
    const std::vector<std::pair<const char*, int>> names = {
        {"established", 5}, {"syn-sent", 3},    {"syn-recv", 4}, {"fin-wait-1", 6},
        {"fin-wait-2", 7},  {"time-wait", 11},  {"closed", 1},   {"close-wait", 8},
        {"last-ack", 9},    {"listening", 2},   {"closing", 10}, {"TimeWait", 11},
        {"SynReceived", 4}, {"ESTABLISHED", 5}, {"listen", 2},   {"FinWait1", 6},
    };
    for (const auto& [name, state] : names) {
        EXPECT_EQ(ParseStateName(name), state) << name;
    }
    EXPECT_FALSE(ParseStateName(""));
    EXPECT_FALSE(ParseStateName("estab"));
    EXPECT_FALSE(ParseStateName("unknown"));  // a printed fallback, not a state
    for (int state = 1; state <= 12; ++state) {
        EXPECT_EQ(ParseStateName(ScriptStateName(state)), state) << state;
    }
    EXPECT_EQ(ScriptStateName(0), "unknown");
    EXPECT_EQ(ScriptStateName(13), "unknown");
}

TEST(ListFilterTest, CategoryWords) {
    EXPECT_EQ(ParseCategoryWord("listening"), Category::Listening);
    EXPECT_EQ(ParseCategoryWord("Outbound"), Category::Outbound);
    EXPECT_EQ(ParseCategoryWord("unknown"), Category::Unknown);
    EXPECT_FALSE(ParseCategoryWord("listen"));
}

TEST(ListFilterTest, FamilyComesFromTheAddressTexts) {
    EXPECT_EQ(FamilyOf(Row(Category::Inbound, 5, 22, 5000)), AddressFamily::Ipv4);
    EXPECT_EQ(FamilyOf(Row(Category::Inbound, 5, 22, 5000, "fd00::7", "fd00::1")),
              AddressFamily::Ipv6);
    // A listener has no remote address; its local one still tells.
    EXPECT_EQ(FamilyOf(Row(Category::Listening, 2, 22, 0, "n/a", "::1")), AddressFamily::Ipv6);
}

TEST(ListFilterTest, EachKindNarrowsAndValuesOfOneKindWiden) {
    const std::vector<CConnectionRecord> rows = {
        Row(Category::Listening, kStateListen, 22, 0, "n/a", "127.0.0.1"),
        Row(Category::Inbound, kStateEstablished, 22, 51000),
        Row(Category::Outbound, kStateTimeWait, 40000, 443, "fd00::9", "fd00::1"),
        Row(Category::Unknown, kStateEstablished, 40001, 50000),
    };
    auto count = [&rows](const ListFilter& filter) { return ApplyFilter(rows, filter).size(); };

    EXPECT_EQ(count({}), 4u);
    EXPECT_EQ(count({.states = {kStateEstablished}}), 2u);
    EXPECT_EQ(count({.states = {kStateEstablished, kStateListen}}), 3u);
    EXPECT_EQ(count({.ports = {443}}), 1u);  // remote port
    EXPECT_EQ(count({.ports = {22}}), 2u);   // local port, listener included
    EXPECT_EQ(count({.ports = {0}}), 0u);    // a listener's remote 0 is no port
    EXPECT_EQ(count({.families = {AddressFamily::Ipv6}}), 1u);
    EXPECT_EQ(count({.categories = {Category::Inbound, Category::Unknown}}), 2u);
    EXPECT_EQ(count({.states = {kStateEstablished}, .ports = {22}}), 1u);
    const auto left = ApplyFilter(rows, {.states = {kStateEstablished},
                                         .families = {AddressFamily::Ipv4},
                                         .categories = {Category::Unknown}});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].localPort, 40001);
}

}  // namespace
}  // namespace tarvik
