#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "acquisition/KernelTableSource.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "app/EventStream.h"
#include "app/ListCommand.h"
#include "app/ListFormats.h"
#include "base/UniqueFd.h"

namespace tarvik {
namespace {

std::vector<CConnectionRecord> FixtureTable() {
    CConnectionRecord listener;
    listener.category = Category::Listening;
    listener.state = TcpState::Listen;
    listener.localPort = 22;
    listener.hostName = listener.ipAddress = "n/a";
    listener.interfaceText = "127.0.0.1";
    listener.serviceText = "ssh server";
    listener.cookie = 18446744073709551615ull;
    listener.pid = 812;
    listener.command = "sshd";
    listener.user = "root";

    CConnectionRecord inbound;
    inbound.category = Category::Inbound;
    inbound.state = TcpState::Established;
    inbound.localPort = 22;
    inbound.remotePort = 51000;
    inbound.hostName = "host, \"quoted\"";
    inbound.ipAddress = "10.0.0.7";
    inbound.interfaceText = "10.0.0.1";
    inbound.serviceText = "inbound ssh";
    inbound.openTime = 1061561000;
    inbound.bytes = {100000, 7000};

    CConnectionRecord odd;
    odd.category = Category::Unknown;
    odd.state = TcpState::TimeWait;
    odd.localPort = 40000;
    odd.remotePort = 50000;
    odd.hostName = std::string("b\xe9t\x01 \xc3\xa9");  // Latin-1, a control byte, UTF-8
    odd.ipAddress = "fd00::8";
    odd.interfaceText = "fd00::1";
    odd.family = AddressFamily::Ipv6;
    odd.serviceText = "unknown";
    return {listener, inbound, odd};
}

TEST(ListFormatsTest, CsvQuotesOnlyWhatNeedsItAndEndsWithTheBytesAndProtocol) {
    std::ostringstream out;
    WriteCsvList(FixtureTable(), out);
    EXPECT_EQ(out.str(),
              "Hostname,IP Address,Local Port,Remote Port,Service Type,Interface,"
              "Connection State,Category,State,Process,Bytes Sent,Bytes Received,Protocol\n"
              "n/a,n/a,22,n/a,ssh server,127.0.0.1,Listening,listening,2,sshd (812),0,0,tcp\n"
              "\"host, \"\"quoted\"\"\",10.0.0.7,22,51000,inbound ssh,10.0.0.1,Established,"
              "inbound,5,,100000,7000,tcp\n"
              "b\\xe9t\\x01 \xc3\xa9,fd00::8,40000,50000,unknown,fd00::1,TimeWait,unknown,11,,"
              "0,0,tcp\n");
    EXPECT_EQ(CsvField(" lead"), "\" lead\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField(""), "");
}

TEST(ListFormatsTest, TextAlignsColumnsAndEndsWithTheProcess) {
    std::ostringstream out;
    WriteTextList(FixtureTable(), out);
    std::istringstream lines(out.str());
    std::string heading;
    std::string listener;
    std::string inbound;
    std::getline(lines, heading);
    std::getline(lines, listener);
    std::getline(lines, inbound);
    EXPECT_EQ(heading.substr(heading.size() - 8), "Protocol");
    EXPECT_EQ(listener.substr(listener.size() - 3), "tcp");
    EXPECT_EQ(listener.find("sshd"), heading.find("Process"));
    EXPECT_EQ(listener.find("tcp"), heading.find("Protocol"));
    EXPECT_EQ(inbound.find("tcp"), heading.find("Protocol"));
    EXPECT_EQ(inbound.find("inbound", inbound.find("inbound ssh") + 1), heading.find("Category"));
    EXPECT_EQ(inbound.find("100.0 kB"), heading.find("Sent"));
    EXPECT_EQ(inbound.find("7.0 kB"), heading.find("Received"));
}

TEST(ListFormatsTest, JsonHasAVersionNullsAndStateNames) {
    std::ostringstream out;
    WriteJsonList(FixtureTable(), out);
    const auto parsed = nlohmann::json::parse(out.str());
    EXPECT_EQ(parsed["version"], kJsonFormatVersion);
    const auto& rows = parsed["connections"];
    ASSERT_EQ(rows.size(), 3u);

    const auto& listener = rows[0];
    EXPECT_EQ(listener["state"], "listening");
    EXPECT_EQ(listener["connectionState"], "Listening");
    EXPECT_EQ(listener["category"], "listening");
    EXPECT_TRUE(listener["remoteAddress"].is_null());  // not "n/a"
    EXPECT_TRUE(listener["remotePort"].is_null());
    EXPECT_TRUE(listener["hostname"].is_null());
    EXPECT_EQ(listener["localAddress"], "127.0.0.1");
    EXPECT_EQ(listener["process"],
              nlohmann::json({{"pid", 812}, {"command", "sshd"}, {"user", "root"}}));
    EXPECT_EQ(listener["uid"], 0);
    // Past 2^53 a number would be rounded by many readers.
    EXPECT_EQ(listener["cookie"], "18446744073709551615");
    EXPECT_EQ(listener["family"], 4);
    EXPECT_EQ(listener["protocol"], "tcp");

    const auto& inbound = rows[1];
    EXPECT_EQ(inbound["state"], "established");
    EXPECT_EQ(inbound["hostname"], "host, \"quoted\"");
    EXPECT_EQ(inbound["remoteAddress"], "10.0.0.7");
    EXPECT_EQ(inbound["remotePort"], 51000);
    EXPECT_TRUE(inbound["process"].is_null());
    EXPECT_TRUE(inbound["uid"].is_null());  // no kernel socket behind a fixture row
    EXPECT_TRUE(inbound["cookie"].is_null());
    EXPECT_EQ(inbound["openTime"], IsoTime(1061561000));
    EXPECT_EQ(inbound["bytesSent"], 100000);
    EXPECT_EQ(inbound["bytesReceived"], 7000);
    EXPECT_EQ(listener["bytesSent"], 0);

    const auto& odd = rows[2];
    EXPECT_EQ(odd["state"], "time-wait");
    EXPECT_EQ(odd["hostname"], "b\\xe9t\\x01 \xc3\xa9");
    EXPECT_EQ(odd["family"], 6);
    EXPECT_TRUE(odd["openTime"].is_null());
}

TEST(ListFormatsTest, UdpSocketsSayTheirProtocolAndTheStatesSsUses) {
    struct Case {
        TcpState state;
        const char* stateWord;
    };
    for (const Case& c : {Case{TcpState::Listen, "unconn"}, Case{TcpState::Established, "estab"}}) {
        CConnectionRecord udp = FixtureTable()[1];
        udp.protocol = Protocol::Udp;
        udp.state = c.state;
        const auto json = nlohmann::json::parse("{" + ConnectionJsonFields(udp) + "}");
        EXPECT_EQ(json["protocol"], "udp");
        EXPECT_EQ(json["state"], c.stateWord);
        EXPECT_EQ(json["connectionState"], c.stateWord);
        std::ostringstream csv;
        WriteCsvList({udp}, csv);
        EXPECT_EQ(csv.str().substr(csv.str().size() - 5), ",udp\n");
    }
}

TEST(ListFormatsTest, EmptyTableHasAnEmptyConnectionArray) {
    std::ostringstream out;
    WriteJsonList({}, out);
    const auto parsed = nlohmann::json::parse(out.str());
    EXPECT_EQ(parsed["version"], kJsonFormatVersion);
    EXPECT_TRUE(parsed["connections"].is_array());
    EXPECT_TRUE(parsed["connections"].empty());
}

TEST(ListFormatsTest, IsoTimeCarriesTheZoneOffset) {
    const char* saved = std::getenv("TZ");
    const std::string savedZone = saved ? saved : "";
    setenv("TZ", "UTC-2", 1);  // POSIX sign: two hours east of UTC
    tzset();
    EXPECT_EQ(IsoTime(1061553787), "2003-08-22T14:03:07+02:00");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    EXPECT_EQ(IsoTime(1061553787), "2003-08-22T08:33:07-03:30");
    if (saved) {
        setenv("TZ", savedZone.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(ListFormatsTest, JsonStringEscapesEveryUnsafeByte) {
    EXPECT_EQ(JsonString("a\\b\"c\n\x7f"), "\"a\\\\\\\\b\\\"c\\\\x0a\\\\x7f\"");
    EXPECT_EQ(JsonString("\xe2\x82"), "\"\\\\xe2\\\\x82\"");             // truncated UTF-8
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\\\xed\\\\xa0\\\\x80\"");  // a surrogate
    EXPECT_EQ(JsonString("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
}

// A process or host name as a hostile local user or resolver may give it, and how every
// output shows it: one line, no control byte, nothing re-read as Latin-1.
struct HostileName {
    std::string raw;
    std::string shown;
};

const HostileName kHostileNames[] = {
    {"\x1b[2J\x1b[31mroot", "\\x1b[2J\\x1b[31mroot"},
    {"two\nlines\r", "two\\x0alines\\x0d"},
    {"caf\xe9 \xff\xc3\xa9", "caf\\xe9 \\xff\xc3\xa9"},
    {"\xc2\x9b"
     "6n",
     "\\xc2\\x9b6n"},  // C1 CSI
    {"back\\slash", "back\\\\slash"},
};

CConnectionRecord NamedRow(const std::string& name) {
    CConnectionRecord record;
    record.category = Category::Outbound;
    record.state = TcpState::Established;
    record.localPort = 40000;
    record.remotePort = 443;
    record.ipAddress = "10.0.0.7";
    record.hostName = name;
    record.interfaceText = "10.0.0.1";
    record.serviceText = "outbound https";
    record.pid = 4242;
    record.command = name;
    return record;
}

TEST(ListFormatsTest, HostileNamesAreShownEscapedInEveryForm) {
    for (const HostileName& name : kHostileNames) {
        SCOPED_TRACE(name.shown);
        const std::vector<CConnectionRecord> rows = {NamedRow(name.raw)};
        std::ostringstream text;
        std::ostringstream csv;
        std::ostringstream json;
        WriteTextList(rows, text);
        WriteCsvList(rows, csv);
        WriteJsonList(rows, json);
        for (const std::string& out : {text.str(), csv.str()}) {
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
            EXPECT_EQ(std::count_if(out.begin(), out.end(),
                                    [](char c) { return c != '\n' && (c & 0xe0) == 0; }),
                      0)
                << out;
            EXPECT_NE(out.find(name.shown + " (4242)"), std::string::npos) << out;
        }
        const auto parsed = nlohmann::json::parse(json.str());
        EXPECT_EQ(parsed["connections"][0]["hostname"], name.shown);
        EXPECT_EQ(parsed["connections"][0]["process"]["command"], name.shown);
        const auto event = nlohmann::json::parse(ConnectionEventLine("open", rows[0], 0));
        EXPECT_EQ(event["process"]["command"], name.shown);
    }
}

TEST(ListFormatsTest, CsvCellsThatASpreadsheetWouldRunStartWithAQuote) {
    const std::pair<const char*, const char*> cells[] = {
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\t=1", "\\x09=1"},  // escaped first, so no leading tab is left to hide behind
        {"a=b", "a=b"},
        {"", ""},
    };
    for (const auto& [raw, cell] : cells) {
        EXPECT_EQ(CsvCell(raw), cell) << raw;
    }
    std::ostringstream out;
    WriteCsvList({NamedRow("-bash")}, out);
    EXPECT_NE(out.str().find(",'-bash (4242),0,0,tcp\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\n'-bash,"), std::string::npos) << out.str();
}

// Names this thread, which /proc/<pid>/comm shows for the main thread, while it lives.
class ScopedThreadName {
public:
    explicit ScopedThreadName(const char* name) {
        ::prctl(PR_GET_NAME, saved_);
        ::prctl(PR_SET_NAME, name);
    }
    ~ScopedThreadName() { ::prctl(PR_SET_NAME, saved_); }

private:
    char saved_[17] = {};
};

TEST(ListFormatsTest, AProcessNameWithEscapesAndALineFeedIsListedWholeAndEscaped) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    ASSERT_EQ(::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    auto source = CKernelTableSource::Open();
    if (!source || ::gettid() != ::getpid()) {
        GTEST_SKIP() << "needs the kernel's socket table and to run on the main thread";
    }
    const ScopedThreadName name("\x1b[2J\nx\xff");
    CProcessTable processes;
    ListFilter filter;
    filter.ports = {ntohs(address.sin_port)};
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunListCommand(*source, CServicesDatabase(), out, err, ListFormat::Text, &processes,
                             filter),
              0)
        << err.str();
    EXPECT_NE(out.str().find("\\x1b[2J\\x0ax\\xff (" + std::to_string(::getpid()) + ")  tcp\n"),
              std::string::npos)
        << out.str();
}

}  // namespace
}  // namespace tarvik
