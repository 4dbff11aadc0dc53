#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "app/EcsEvent.h"
#include "app/EventStream.h"
#include "app/ListFormats.h"
#include "base/Sha1.h"

namespace tarvik {
namespace {

using Json = nlohmann::json;

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

// Expected digests from Python's hashlib.sha1; the lengths cross the padding's block edges.
TEST(EcsEventTest, Sha1MatchesAnIndependentImplementation) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
    };
    for (const auto& [text, digest] : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        EXPECT_EQ(Hex(Sha1({bytes, text.size()})), digest) << text.size();
    }
}

FlowEnd End(const std::string& address, std::uint16_t port) {
    FlowEnd end;
    EXPECT_TRUE(ParseAddress(address, end.family, end.address)) << address;
    end.port = port;
    return end;
}

// Expected IDs computed with Python (hashlib, struct.pack('!H', seed) + addresses +
// pack('!BB', proto, 0) + pack('!HH', ports), lesser end first); the first is also the
// published example of the algorithm.
TEST(EcsEventTest, CommunityIdMatchesReferenceValuesInBothDirections) {
    const struct {
        FlowEnd one, other;
        std::uint16_t seed;
        const char* id;
    } cases[] = {
        {End("128.232.110.120", 34855), End("66.35.250.204", 80), 0,
         "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {End("128.232.110.120", 34855), End("66.35.250.204", 80), 1,
         "1:3V71V58M3Ksw/yuFALMcW0LAHvc="},
        {End("127.0.0.1", 5000), End("127.0.0.1", 22), 0, "1:DfJg4kw0YiVadsW8Xh7mnuHyLew="},
        {End("fe80::200:86ff:fe05:80da", 1000), End("fe80::260:97ff:fe07:69ea", 22), 0,
         "1:EXj+RKo4jkhlNSKaMHxXq1ze9s8="},
        {End("2001:db8::1", 443), End("::1", 51000), 0, "1:ycIJUzmZHzDTQkNjhDQAakw4tfM="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CommunityId(c.one, c.other, 6, c.seed), c.id);
        EXPECT_EQ(CommunityId(c.other, c.one, 6, c.seed), c.id);
    }
}

CConnectionRecord Connection(Category category) {
    CConnectionRecord record;
    record.family = AddressFamily::Ipv4;
    record.state = TcpState::TimeWait;
    record.category = category;
    record.interfaceText = "128.232.110.120";
    record.localPort = 34855;
    record.ipAddress = "66.35.250.204";
    record.remotePort = 80;
    record.hostName = "www.example.org";
    record.openTime = 1061553787;
    record.closeTime = 1061553799;
    record.cookie = 77;
    record.uid = 1000;
    record.pid = 4242;
    record.command = "curl";
    record.user = "ann";
    return record;
}

TEST(EcsEventTest, ConnectionEndsAreSourceAndDestinationByDirection) {
    const struct {
        Category category;
        const char* sourceIp;
        const char* destinationIp;
        const char* direction;
    } cases[] = {
        {Category::Outbound, "128.232.110.120", "66.35.250.204", "egress"},
        {Category::Inbound, "66.35.250.204", "128.232.110.120", "ingress"},
        {Category::Unknown, "128.232.110.120", "66.35.250.204", "unknown"},
    };
    for (const auto& c : cases) {
        const Json ecs = Json::parse(
            EcsEventLine(ConnectionEventLine("close", Connection(c.category), 1061553799), "h1"));
        EXPECT_EQ(ecs["source"]["ip"], c.sourceIp);
        EXPECT_EQ(ecs["destination"]["ip"], c.destinationIp);
        EXPECT_EQ(ecs["network"]["direction"], c.direction);
        EXPECT_EQ(ecs["network"]["community_id"], "1:LQU9qZlK+B5F3KDmev6m5PMibrg=");
        EXPECT_EQ(ecs["@timestamp"], "2003-08-22T12:03:19.000Z");
        EXPECT_EQ(ecs["event"]["type"], Json({"connection", "end"}));
        EXPECT_EQ(ecs["event"]["duration"], 12'000'000'000LL);
        EXPECT_EQ(ecs["process"]["pid"], 4242);
        EXPECT_EQ(ecs["user"]["id"], "1000");
        EXPECT_EQ(ecs["host"]["hostname"], "h1");
        EXPECT_EQ(ecs["tarvik"]["cookie"], "77");
    }
    CConnectionRecord opened = Connection(Category::Outbound);
    opened.closeTime = 0;
    const Json outbound = Json::parse(EcsEventLine(ConnectionEventLine("open", opened, 0), "h1"));
    EXPECT_EQ(outbound["destination"]["domain"], "www.example.org");
    EXPECT_FALSE(outbound["event"].contains("duration"));
    // The same ends over UDP: another transport, and protocol 17 in the flow's id (Python).
    CConnectionRecord datagrams = Connection(Category::Outbound);
    datagrams.protocol = Protocol::Udp;
    const Json udp =
        Json::parse(EcsEventLine(ConnectionEventLine("close", datagrams, 1061553799), "h1"));
    EXPECT_EQ(udp["network"]["transport"], "udp");
    EXPECT_EQ(udp["network"]["iana_number"], "17");
    EXPECT_EQ(udp["network"]["community_id"], "1:tHtj5b89ms4XrWRUtWPadGMkYIM=");
}

TEST(EcsEventTest, UtcTimeHasMillisecondsOnBothSidesOfTheEpoch) {
    using std::chrono::milliseconds;
    const auto epoch = std::chrono::system_clock::from_time_t(0);
    EXPECT_EQ(UtcIsoTime(epoch + milliseconds(1061553799250)), "2003-08-22T12:03:19.250Z");
    EXPECT_EQ(UtcIsoTime(epoch - milliseconds(1)), "1969-12-31T23:59:59.999Z");
}

TEST(EcsEventTest, AlertsLossesAndForeignLinesKeepTheirMeaning) {
    const Json alert = Json::parse(
        EcsEventLine(AlertEventLine({"198.51.100.7", {22, 23}, "SYN", 1061553799}), "h1"));
    EXPECT_EQ(alert["event"]["kind"], "alert");
    EXPECT_EQ(alert["source"]["ip"], "198.51.100.7");
    EXPECT_EQ(alert["tarvik"]["localPorts"], Json({22, 23}));
    const Json lost = Json::parse(EcsEventLine(LossEventLine(5, 1061553799), "h1"));
    EXPECT_EQ(lost["event"]["kind"], "pipeline_error");
    EXPECT_EQ(lost["tarvik"]["lost"], 5);
    for (const char* foreign : {"not json", "[1]", "{\"event\": 3}"}) {
        EXPECT_EQ(EcsEventLine(foreign, "h1"), foreign);
    }
}

}  // namespace
}  // namespace tarvik
