#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>

#include "acquisition/ConnectionRecord.h"
#include "tracking/ConnectionColumns.h"

namespace tarvik {
namespace {

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

CConnectionRecord InboundFtp() {
    CConnectionRecord record;
    record.category = Category::Inbound;
    record.state = TcpState::Established;
    record.openTime = 1061560987;   // 2003-08-22 14:03:07 UTC
    record.closeTime = 1061561110;  // 2003-08-22 14:05:10 UTC
    record.ipAddress = "192.168.1.20";
    record.hostName = "192.168.1.20";
    record.remotePort = 1234;
    record.interfaceText = "192.168.1.5";
    record.localPort = 21;
    record.serviceText = "inbound ftp";
    return record;
}

TEST(CompactTextTest, HoldsEveryLengthAndCopiesShareLongTexts) {
    static_assert(sizeof(CompactText) == 16);
    for (const std::size_t length : {0, 1, 15, 16, 45, 300}) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += static_cast<char>('a' + i % 26);
        }
        auto original = std::make_unique<CompactText>(text);
        EXPECT_EQ(original->Shared(), length > CompactText::kInlineCapacity) << length;
        CompactText copy = *original;
        CompactText assigned;
        assigned = copy;
        original.reset();  // a copy outlives the text it came from
        EXPECT_EQ(copy, text);
        EXPECT_EQ(assigned.Str(), text);
        EXPECT_EQ(copy.size(), length);
        CompactText moved = std::move(copy);
        EXPECT_EQ(moved, text);
        EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from text is empty
        moved = assigned;           // the last holder of a shared block frees it (ASan)
        EXPECT_EQ("<" + moved + ">", "<" + text + ">");
        std::ostringstream out;
        out << moved;
        EXPECT_EQ(out.str(), text);
    }
}

TEST(ConnectionRecordTest, ARecordStaysSmall) {
    // A large table holds one per connection, and a first read copies each a few times.
    // Two 64-bit byte counters made it 208 from 192.
    EXPECT_LE(sizeof(CConnectionRecord), 208u);
}

TEST(ConnectionRecordTest, NamesEveryMibStateAndMarksOthers) {
    EXPECT_EQ(StateName(TcpState::Closed), "Closed");
    EXPECT_EQ(StateName(TcpState::Listen), "Listening");
    EXPECT_EQ(StateName(TcpState::SynReceived), "SynReceived");
    EXPECT_EQ(StateName(TcpState::Established), "Established");
    EXPECT_EQ(StateName(TcpState::TimeWait), "TimeWait");
    EXPECT_EQ(StateName(TcpState::DeleteTcb), "DeleteTCB");
    EXPECT_EQ(StateName(TcpState{}), "Unknown(0)");
    EXPECT_EQ(StateName(static_cast<TcpState>(13)), "Unknown(13)");
    EXPECT_EQ(StateName(static_cast<TcpState>(-1)), "Unknown(-1)");
}

TEST_F(UtcZone, TimeTextIsLocalTimeMonthBeforeDay) {
    EXPECT_EQ(TimeText(1061560987), "14:03:07 08/22/2003");
    // Past 2038: times are 64-bit.
    EXPECT_EQ(TimeText(4102444800), "00:00:00 01/01/2100");
}

TEST_F(UtcZone, CsvFormIsEightUnquotedFields) {
    EXPECT_EQ(InboundFtp().CsvText(),
              "14:03:07 08/22/2003,14:05:10 08/22/2003,192.168.1.20,192.168.1.20,1234,"
              "192.168.1.5,21,inbound ftp");
}

TEST_F(UtcZone, CsvKeepsACommaInTheServiceText) {
    CConnectionRecord record = InboundFtp();
    record.serviceText = "a,b";
    std::ostringstream out;
    record.WriteCsv(out);
    EXPECT_EQ(out.str().substr(out.str().rfind(",21,")), ",21,a,b");
}

TEST(ConnectionRecordTest, ColumnTextsInDisplayOrder) {
    const CConnectionRecord record = InboundFtp();
    EXPECT_EQ(ColumnText(record, Column::HostName), "192.168.1.20");
    EXPECT_EQ(ColumnText(record, Column::IpAddress), "192.168.1.20");
    EXPECT_EQ(ColumnText(record, Column::LocalPort), "21");
    EXPECT_EQ(ColumnText(record, Column::RemotePort), "1234");
    EXPECT_EQ(ColumnText(record, Column::ServiceType), "inbound ftp");
    EXPECT_EQ(ColumnText(record, Column::Interface), "192.168.1.5");
    EXPECT_EQ(ColumnText(record, Column::ConnectionState), "Established");
    EXPECT_STREQ(ColumnTitle(Column::HostName), "Hostname");
    EXPECT_STREQ(ColumnTitle(Column::ConnectionState), "Connection State");
    EXPECT_THAT(ColumnTitles(),
                ::testing::ElementsAre("Hostname", "IP Address", "Local Port", "Remote Port",
                                       "Service Type", "Interface", "Connection State"));
}

TEST(ConnectionRecordTest, ListeningPortShowsNoRemotePort) {
    CConnectionRecord record;
    record.state = TcpState::Listen;
    record.remotePort = 0;
    record.hostName = record.ipAddress = "n/a";
    EXPECT_EQ(ColumnText(record, Column::RemotePort), "n/a");
    EXPECT_EQ(ColumnText(record, Column::HostName), "n/a");
}

TEST(ConnectionRecordTest, NewRecordIsEmpty) {
    const CConnectionRecord record;
    EXPECT_EQ(record.state, TcpState{});
    EXPECT_TRUE(record.hostName.empty());
    EXPECT_TRUE(record.serviceText.empty());
}

}  // namespace
}  // namespace tarvik
