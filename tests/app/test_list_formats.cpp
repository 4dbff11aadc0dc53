#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/ListFormats.h"

namespace tarvik {
namespace {

std::vector<CConnectionRecord> FixtureTable() {
    CConnectionRecord listener;
    listener.category = kCategoryListening;
    listener.state = kStateListen;
    listener.localPort = 22;
    listener.hostName = listener.ipAddress = "n/a";
    listener.interfaceText = "127.0.0.1";
    listener.serviceText = "ssh server";

    CConnectionRecord inbound;
    inbound.category = kCategoryInbound;
    inbound.state = kStateEstablished;
    inbound.localPort = 22;
    inbound.remotePort = 51000;
    inbound.hostName = "host, \"quoted\"";
    inbound.ipAddress = "10.0.0.7";
    inbound.interfaceText = "10.0.0.1";
    inbound.serviceText = "inbound ssh";

    CConnectionRecord odd;
    odd.category = kCategoryUnknown;
    odd.state = kStateTimeWait;
    odd.localPort = 40000;
    odd.remotePort = 50000;
    odd.hostName = std::string("b\xe9t\x01 \xc3\xa9");  // Latin-1, a control byte, UTF-8
    odd.ipAddress = "10.0.0.8";
    odd.interfaceText = "10.0.0.1";
    odd.serviceText = "unknown";
    return {listener, inbound, odd};
}

TEST(ListFormatsTest, CsvQuotesOnlyWhatNeedsIt) {
    std::ostringstream out;
    WriteCsvList(FixtureTable(), out);
    EXPECT_EQ(out.str(),
              "Hostname,IP Address,Local Port,Remote Port,Service Type,Interface,"
              "Connection State,Category,State\n"
              "n/a,n/a,22,n/a,ssh server,127.0.0.1,Listening,listening,2\n"
              "\"host, \"\"quoted\"\"\",10.0.0.7,22,51000,inbound ssh,10.0.0.1,Established,"
              "inbound,5\n"
              "b\xe9t\x01 \xc3\xa9,10.0.0.8,40000,50000,unknown,10.0.0.1,TimeWait,unknown,11\n");
    EXPECT_EQ(CsvField(" lead"), "\" lead\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField(""), "");
}

TEST(ListFormatsTest, JsonIsExactAndValid) {
    std::ostringstream out;
    WriteJsonList(FixtureTable(), out);
    EXPECT_EQ(out.str(),
              "[\n"
              "  {\"hostname\": \"n/a\", \"ipAddress\": \"n/a\", \"localPort\": 22, "
              "\"remotePort\": null, \"serviceType\": \"ssh server\", \"interface\": "
              "\"127.0.0.1\", \"connectionState\": \"Listening\", \"category\": \"listening\", "
              "\"state\": 2},\n"
              "  {\"hostname\": \"host, \\\"quoted\\\"\", \"ipAddress\": \"10.0.0.7\", "
              "\"localPort\": 22, \"remotePort\": 51000, \"serviceType\": \"inbound ssh\", "
              "\"interface\": \"10.0.0.1\", \"connectionState\": \"Established\", "
              "\"category\": \"inbound\", \"state\": 5},\n"
              "  {\"hostname\": \"b\\u00e9t\\u0001 \xc3\xa9\", \"ipAddress\": \"10.0.0.8\", "
              "\"localPort\": 40000, \"remotePort\": 50000, \"serviceType\": \"unknown\", "
              "\"interface\": \"10.0.0.1\", \"connectionState\": \"TimeWait\", "
              "\"category\": \"unknown\", \"state\": 11}\n"
              "]\n");

    const auto parsed = nlohmann::json::parse(out.str());
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_TRUE(parsed[0]["remotePort"].is_null());
    EXPECT_EQ(parsed[1]["hostname"], "host, \"quoted\"");
    EXPECT_EQ(parsed[2]["hostname"], "b\xc3\xa9t\x01 \xc3\xa9");
    EXPECT_EQ(parsed[2]["state"], 11);
}

TEST(ListFormatsTest, EmptyTableIsAnEmptyArray) {
    std::ostringstream out;
    WriteJsonList({}, out);
    EXPECT_EQ(out.str(), "[]\n");
    EXPECT_TRUE(nlohmann::json::parse(out.str()).empty());
}

TEST(ListFormatsTest, JsonStringEscapesEveryUnsafeByte) {
    EXPECT_EQ(JsonString("a\\b\"c\n\x7f"), "\"a\\\\b\\\"c\\u000a\\u007f\"");
    EXPECT_EQ(JsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");             // truncated UTF-8
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // a surrogate
    EXPECT_EQ(JsonString("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
}

}  // namespace
}  // namespace tarvik
