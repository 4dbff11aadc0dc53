#include <gtest/gtest.h>

#include "app/ListFilter.h"

namespace tarvik {
namespace {

CConnectionRecord Row(Category category, TcpState state, int localPort, int remotePort,
                      std::string remote = "10.0.0.7", std::string local = "10.0.0.1") {
    CConnectionRecord record;
    record.category = category;
    record.state = state;
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.ipAddress = std::move(remote);
    record.interfaceText = std::move(local);
    record.family = record.interfaceText.View().find(':') != std::string::npos
                        ? AddressFamily::Ipv6
                        : AddressFamily::Ipv4;
    return record;
}

TEST(ListFilterTest, StateNamesInBothNamingsAndAnyCase) {
    const std::vector<std::pair<const char*, TcpState>> names = {
        {"established", TcpState::Established}, {"syn-sent", TcpState::SynSent},
        {"syn-recv", TcpState::SynReceived},    {"fin-wait-1", TcpState::FinWait1},
        {"fin-wait-2", TcpState::FinWait2},     {"time-wait", TcpState::TimeWait},
        {"closed", TcpState::Closed},           {"close-wait", TcpState::CloseWait},
        {"last-ack", TcpState::LastAck},        {"listening", TcpState::Listen},
        {"closing", TcpState::Closing},         {"TimeWait", TcpState::TimeWait},
        {"SynReceived", TcpState::SynReceived}, {"ESTABLISHED", TcpState::Established},
        {"listen", TcpState::Listen},           {"FinWait1", TcpState::FinWait1},
    };
    for (const auto& [name, state] : names) {
        EXPECT_EQ(ParseStateName(name), state) << name;
    }
    EXPECT_FALSE(ParseStateName(""));
    EXPECT_FALSE(ParseStateName("estab"));
    EXPECT_FALSE(ParseStateName("unknown"));  // a printed fallback, not a state
    for (int number = 1; number <= 12; ++number) {
        const auto state = static_cast<TcpState>(number);
        EXPECT_EQ(ParseStateName(ScriptStateName(state)), state) << number;
    }
    EXPECT_EQ(ScriptStateName(TcpState{}), "unknown");
    EXPECT_EQ(ScriptStateName(static_cast<TcpState>(13)), "unknown");
}

TEST(ListFilterTest, CategoryWords) {
    EXPECT_EQ(ParseCategoryWord("listening"), Category::Listening);
    EXPECT_EQ(ParseCategoryWord("Outbound"), Category::Outbound);
    EXPECT_EQ(ParseCategoryWord("unknown"), Category::Unknown);
    EXPECT_FALSE(ParseCategoryWord("listen"));
}

TEST(ListFilterTest, FamilyComesFromTheAddressTexts) {
    EXPECT_EQ(FamilyOf(Row(Category::Inbound, TcpState::Established, 22, 5000)),
              AddressFamily::Ipv4);
    EXPECT_EQ(
        FamilyOf(Row(Category::Inbound, TcpState::Established, 22, 5000, "fd00::7", "fd00::1")),
        AddressFamily::Ipv6);
    // A listener has no remote address; its local one still tells.
    EXPECT_EQ(FamilyOf(Row(Category::Listening, TcpState::Listen, 22, 0, "n/a", "::1")),
              AddressFamily::Ipv6);
}

TEST(ListFilterTest, EachKindNarrowsAndValuesOfOneKindWiden) {
    const std::vector<CConnectionRecord> rows = {
        Row(Category::Listening, TcpState::Listen, 22, 0, "n/a", "127.0.0.1"),
        Row(Category::Inbound, TcpState::Established, 22, 51000),
        Row(Category::Outbound, TcpState::TimeWait, 40000, 443, "fd00::9", "fd00::1"),
        Row(Category::Unknown, TcpState::Established, 40001, 50000),
    };
    auto count = [&rows](const ListFilter& filter) { return ApplyFilter(rows, filter).size(); };

    EXPECT_EQ(count({}), 4u);
    EXPECT_EQ(count({.states = {TcpState::Established}}), 2u);
    EXPECT_EQ(count({.states = {TcpState::Established, TcpState::Listen}}), 3u);
    EXPECT_EQ(count({.ports = {443}}), 1u);  // remote port
    EXPECT_EQ(count({.ports = {22}}), 2u);   // local port, listener included
    EXPECT_EQ(count({.ports = {0}}), 0u);    // a listener's remote 0 is no port
    EXPECT_EQ(count({.families = {AddressFamily::Ipv6}}), 1u);
    EXPECT_EQ(count({.categories = {Category::Inbound, Category::Unknown}}), 2u);
    EXPECT_EQ(count({.states = {TcpState::Established}, .ports = {22}}), 1u);
    const auto left = ApplyFilter(rows, {.states = {TcpState::Established},
                                         .families = {AddressFamily::Ipv4},
                                         .categories = {Category::Unknown}});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].localPort, 40001);
}

TEST(ListFilterTest, UdpRowsByProtocolAndTheirStateWords) {
    CConnectionRecord udp = Row(Category::Listening, TcpState::Listen, 53, 0, "n/a", "127.0.0.1");
    udp.protocol = Protocol::Udp;
    const std::vector<CConnectionRecord> rows = {
        udp, Row(Category::Listening, TcpState::Listen, 53, 0, "n/a", "127.0.0.1")};
    const auto left = ApplyFilter(rows, {.protocols = {Protocol::Udp}});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].protocol, Protocol::Udp);
    EXPECT_EQ(ApplyFilter(rows, {.protocols = {Protocol::Tcp, Protocol::Udp}}).size(), 2u);
    EXPECT_EQ(ParseProtocolWord("UDP"), Protocol::Udp);
    EXPECT_FALSE(ParseProtocolWord("sctp"));
    for (const TcpState state : {TcpState::Listen, TcpState::Established}) {
        EXPECT_EQ(ParseStateName(ScriptStateName(state, Protocol::Udp), Protocol::Udp), state);
    }
}

}  // namespace
}  // namespace tarvik
