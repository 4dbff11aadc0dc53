#include <gtest/gtest.h>

#include <algorithm>

#include "acquisition/Classification.h"
#include "acquisition/ConnectionRows.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::Row;

const CServicesDatabase& Services() {
    static const auto services = CServicesDatabase::FromText(
        "ftp 21/tcp\nsmtp 25/tcp\nms-wbt-server 3389/tcp\nhttp-alt 8080/tcp\n");
    return services;
}

CConnectionRecord ClassifyOne(const TcpRow& row) {
    const auto records = ClassifiedRecords({row}, Services());
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? CConnectionRecord{} : records.front();
}

struct Expected {
    Category category;
    std::string service;
};

void ExpectClass(const TcpRow& row, const Expected& expected) {
    const CConnectionRecord record = ClassifyOne(row);
    EXPECT_EQ(record.category, expected.category) << record.localPort << "/" << record.remotePort;
    EXPECT_EQ(record.serviceText, expected.service) << record.localPort << "/" << record.remotePort;
}

TEST(ClassificationTest, ListenersAreListeningWhateverTheirPort) {
    const CConnectionRecord ftp = ClassifyOne(Row("0.0.0.0", 21, "0.0.0.0", 0, TcpState::Listen));
    EXPECT_EQ(ftp.category, Category::Listening);
    EXPECT_EQ(ftp.interfaceText, "127.0.0.1");
    EXPECT_EQ(ftp.ipAddress, "n/a");
    EXPECT_EQ(ftp.hostName, "n/a");
    EXPECT_EQ(ftp.serviceText, "ftp server");
    EXPECT_EQ(ftp.state, TcpState::Listen);
    EXPECT_EQ(ftp.localPort, 21);

    ExpectClass(Row("10.0.0.5", 40000, "0.0.0.0", 0, TcpState::Listen),
                {Category::Listening, "unknown server"});
    ExpectClass(Row("10.0.0.5", 8080, "0.0.0.0", 0, TcpState::Listen),
                {Category::Listening, "http-alt server"});
}

TEST(ClassificationTest, PrivilegedPortsDecideBeforeServiceNames) {
    ExpectClass(Row("10.0.0.5", 1023, "10.0.0.9", 50000, TcpState::Established),
                {Category::Inbound, "unknown"});
    ExpectClass(Row("10.0.0.5", 21, "10.0.0.9", 50000, TcpState::Established),
                {Category::Inbound, "inbound ftp"});
    // Local 21 wins over a remote port that is also privileged.
    ExpectClass(Row("10.0.0.5", 21, "10.0.0.9", 25, TcpState::Established),
                {Category::Inbound, "inbound ftp"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 25, TcpState::Established),
                {Category::Outbound, "outbound smtp"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 1023, TcpState::Established),
                {Category::Outbound, "unknown"});
}

TEST(ClassificationTest, HighPortsAreNamedByTheLocalPortFirst) {
    ExpectClass(Row("10.0.0.5", 3389, "10.0.0.9", 50000, TcpState::Established),
                {Category::Inbound, "ms-wbt-server"});
    ExpectClass(Row("10.0.0.5", 3389, "10.0.0.9", 8080, TcpState::Established),
                {Category::Inbound, "ms-wbt-server"});
    ExpectClass(Row("10.0.0.5", 50000, "10.0.0.9", 8080, TcpState::Established),
                {Category::Outbound, "http-alt"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 1024, TcpState::Established),
                {Category::Unknown, "unknown"});
}

TEST(ClassificationTest, AddressTexts) {
    const CConnectionRecord loop =
        ClassifyOne(Row("127.0.0.1", 50000, "127.0.0.1", 50001, TcpState::Established));
    EXPECT_EQ(loop.hostName, "localhost");
    EXPECT_EQ(loop.ipAddress, "127.0.0.1");
    EXPECT_EQ(loop.interfaceText, "127.0.0.1");

    const CConnectionRecord remote =
        ClassifyOne(Row("10.0.0.5", 50000, "10.1.2.3", 443, TcpState::TimeWait));
    EXPECT_EQ(remote.hostName, "10.1.2.3");
    EXPECT_EQ(remote.ipAddress, "10.1.2.3");
    EXPECT_EQ(remote.interfaceText, "10.0.0.5");
    EXPECT_EQ(remote.remotePort, 443);
    EXPECT_EQ(remote.state, TcpState::TimeWait);
    EXPECT_EQ(remote.id, 0);
    EXPECT_EQ(remote.openTime, 0);
}

TEST(ListeningPortRuleTest, AConnectionToALocalListenerIsInbound) {
    struct Case {
        const char* what;
        std::vector<TcpRow> listeners;
        TcpRow connection;
        Category category;
        std::string service;
    };
    const std::vector<Case> cases = {
        {"unnamed high port with a listener on all addresses",
         {Row("0.0.0.0", 8000, "0.0.0.0", 0, TcpState::Listen)},
         Row("10.0.0.5", 8000, "10.0.0.9", 50000, TcpState::Established),
         Category::Inbound,
         "unknown"},
        {"listener on an IPv6 address, named remote port",
         {Row("::1", 44000, "::", 0, TcpState::Listen)},
         Row("10.0.0.5", 44000, "10.0.0.9", 3389, TcpState::Established),
         Category::Inbound,
         "unknown"},
        {"named listening port",
         {Row("0.0.0.0", 8080, "0.0.0.0", 0, TcpState::Listen)},
         Row("10.0.0.5", 8080, "10.0.0.9", 3389, TcpState::Established),
         Category::Inbound,
         "http-alt"},
        {"no listener: the remote port's name decides",
         {},
         Row("10.0.0.5", 44000, "10.0.0.9", 3389, TcpState::Established),
         Category::Outbound,
         "ms-wbt-server"},
        {"listener on the remote port only: the client end",
         {Row("0.0.0.0", 8000, "0.0.0.0", 0, TcpState::Listen)},
         Row("127.0.0.1", 50000, "127.0.0.1", 8000, TcpState::Established),
         Category::Unknown,
         "unknown"},
        {"a privileged remote port still decides first",
         {Row("0.0.0.0", 44000, "0.0.0.0", 0, TcpState::Listen)},
         Row("10.0.0.5", 44000, "10.0.0.9", 25, TcpState::Established),
         Category::Outbound,
         "outbound smtp"},
        {"a TIME_WAIT row on the port is no listener",
         {Row("10.0.0.5", 8000, "10.0.0.7", 50001, TcpState::TimeWait)},
         Row("10.0.0.5", 8000, "10.0.0.9", 50000, TcpState::Established),
         Category::Unknown,
         "unknown"},
    };
    for (const Case& c : cases) {
        // The listener comes after the connection in the table: the rule must see it anyway.
        std::vector<TcpRow> rows = {c.connection};
        rows.insert(rows.end(), c.listeners.begin(), c.listeners.end());
        const auto records = ClassifiedRecords(rows, Services());
        const auto found =
            std::find_if(records.begin(), records.end(), [&](const CConnectionRecord& r) {
                return r.localPort == c.connection.localPort &&
                       r.remotePort == c.connection.remotePort;
            });
        ASSERT_NE(found, records.end()) << c.what;
        EXPECT_EQ(found->category, c.category) << c.what;
        EXPECT_EQ(found->serviceText, c.service) << c.what;
    }
}

TEST(ListeningPortRuleTest, AnIpv6ConnectionToAnIpv6ListenerIsInbound) {
    const auto records = ClassifiedRecords({Row("::1", 50000, "::1", 44000, TcpState::Established),
                                            Row("::1", 44000, "::1", 50000, TcpState::Established),
                                            Row("::1", 44000, "::", 0, TcpState::Listen)},
                                           Services());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].category, Category::Unknown);  // the client end
    EXPECT_EQ(records[1].category, Category::Inbound);  // the server end
    EXPECT_EQ(records[2].category, Category::Listening);
}

TEST(Ipv6TextsTest, Ipv6RowsGetTheirAddressTextsInTheUsualFields) {
    const CConnectionRecord loop =
        ClassifyOne(Row("::1", 50000, "::1", 50001, TcpState::Established));
    EXPECT_EQ(loop.family, AddressFamily::Ipv6);
    EXPECT_EQ(loop.ipAddress, "::1");
    EXPECT_EQ(loop.hostName, "localhost");
    EXPECT_EQ(loop.interfaceText, "::1");

    const CConnectionRecord remote =
        ClassifyOne(Row("2001:db8::2", 50000, "2001:db8::5", 25, TcpState::Established));
    EXPECT_EQ(remote.ipAddress, "2001:db8::5");
    EXPECT_EQ(remote.hostName, "2001:db8::5");
    EXPECT_EQ(remote.interfaceText, "2001:db8::2");
    EXPECT_EQ(remote.serviceText, "outbound smtp");
    EXPECT_EQ(remote.remoteAddress, testing::Address("2001:db8::5"));
    EXPECT_EQ(remote.localAddress, testing::Address("2001:db8::2"));
    // The log line holds the IPv6 text in the address field, the format unchanged.
    EXPECT_NE(remote.CsvText().find(",2001:db8::5,2001:db8::5,25,2001:db8::2,50000,"),
              std::string::npos)
        << remote.CsvText();

    // A socket listening on every IPv6 address is reached through ::1, as 0.0.0.0 through
    // 127.0.0.1.
    const CConnectionRecord any = ClassifyOne(Row("::", 8080, "::", 0, TcpState::Listen));
    EXPECT_EQ(any.interfaceText, "::1");
    EXPECT_EQ(any.ipAddress, "n/a");
    EXPECT_EQ(any.serviceText, "http-alt server");
}

TEST(ConnectionRowsTest, KeepsTableOrderCookiesAndOwnerIds) {
    // A new connection on the address and ports of an old TIME_WAIT one is another socket.
    TcpRow live = Row("127.0.0.1", 50000, "127.0.0.1", 8080, TcpState::Established, 71);
    live.uid = 1000;
    live.inode = 4242;
    const auto records = ClassifiedRecords(
        {Row("127.0.0.1", 50000, "127.0.0.1", 8080, TcpState::TimeWait, 70), live}, Services());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].state, TcpState::TimeWait);
    EXPECT_EQ(records[0].cookie, 70u);
    EXPECT_EQ(records[1].state, TcpState::Established);
    EXPECT_EQ(records[1].cookie, 71u);
    EXPECT_EQ(records[1].uid, 1000u);
    EXPECT_EQ(records[1].inode, 4242u);
    EXPECT_EQ(records[1].serviceText, "http-alt");
    EXPECT_TRUE(ClassifiedRecords({}, Services()).empty());
}

}  // namespace
}  // namespace tarvik
