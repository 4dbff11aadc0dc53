#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "acquisition/ConnectionTableWalk.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::CCountingAgent;
using testing::Row;

const CServicesDatabase& Services() {
    static const auto services = CServicesDatabase::FromText(
        "ftp 21/tcp\nsmtp 25/tcp\nms-wbt-server 3389/tcp\nhttp-alt 8080/tcp\n");
    return services;
}

struct Walk {
    WalkEnd end = WalkEnd::Failed;
    std::vector<CConnectionRecord> records;
    std::vector<std::string> traces;
};

Walk RunWalk(CMibAgent& agent) {
    Walk walk;
    walk.end = WalkConnectionTable(
        agent, Services(), [&](CConnectionRecord r) { walk.records.push_back(std::move(r)); },
        [&](std::string_view text) { walk.traces.emplace_back(text); });
    return walk;
}

CConnectionRecord ClassifyOne(const TcpRow& row) {
    CCountingAgent agent(
        std::make_unique<CFixtureTableSource>(std::vector<TcpRow>{row}, std::vector<Ipv4Octets>{}));
    const Walk walk = RunWalk(agent);
    EXPECT_EQ(walk.records.size(), 1u);
    return walk.records.empty() ? CConnectionRecord{} : walk.records.front();
}

struct Expected {
    int category;
    std::string service;
};

void ExpectClass(const TcpRow& row, const Expected& expected) {
    const CConnectionRecord record = ClassifyOne(row);
    EXPECT_EQ(record.category, expected.category) << record.localPort << "/" << record.remotePort;
    EXPECT_EQ(record.serviceText, expected.service) << record.localPort << "/" << record.remotePort;
}

TEST(ClassificationTest, ListenersAreListeningWhateverTheirPort) {
    const CConnectionRecord ftp = ClassifyOne(Row("0.0.0.0", 21, "0.0.0.0", 0, kStateListen));
    EXPECT_EQ(ftp.category, kCategoryListening);
    EXPECT_EQ(ftp.interfaceText, "127.0.0.1");
    EXPECT_EQ(ftp.ipAddress, "n/a");
    EXPECT_EQ(ftp.hostName, "n/a");
    EXPECT_EQ(ftp.serviceText, "ftp server");
    EXPECT_EQ(ftp.state, kStateListen);
    EXPECT_EQ(ftp.localPort, 21);
    EXPECT_EQ(ftp.ColumnText(Column::RemotePort), "n/a");

    ExpectClass(Row("10.0.0.5", 40000, "0.0.0.0", 0, kStateListen),
                {kCategoryListening, "unknown server"});
    ExpectClass(Row("10.0.0.5", 8080, "0.0.0.0", 0, kStateListen),
                {kCategoryListening, "http-alt server"});
}

TEST(ClassificationTest, PrivilegedPortsDecideBeforeServiceNames) {
    ExpectClass(Row("10.0.0.5", 1023, "10.0.0.9", 50000, 5), {kCategoryInbound, "unknown"});
    ExpectClass(Row("10.0.0.5", 21, "10.0.0.9", 50000, 5), {kCategoryInbound, "inbound ftp"});
    // Local 21 wins over a remote port that is also privileged.
    ExpectClass(Row("10.0.0.5", 21, "10.0.0.9", 25, 5), {kCategoryInbound, "inbound ftp"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 25, 5), {kCategoryOutbound, "outbound smtp"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 1023, 5), {kCategoryOutbound, "unknown"});
}

TEST(ClassificationTest, HighPortsAreNamedByTheLocalPortFirst) {
    ExpectClass(Row("10.0.0.5", 3389, "10.0.0.9", 50000, 5), {kCategoryInbound, "ms-wbt-server"});
    ExpectClass(Row("10.0.0.5", 3389, "10.0.0.9", 8080, 5), {kCategoryInbound, "ms-wbt-server"});
    ExpectClass(Row("10.0.0.5", 50000, "10.0.0.9", 8080, 5), {kCategoryOutbound, "http-alt"});
    ExpectClass(Row("10.0.0.5", 1024, "10.0.0.9", 1024, 5), {kCategoryUnknown, "unknown"});
}

TEST(ClassificationTest, AddressTexts) {
    const CConnectionRecord loop = ClassifyOne(Row("127.0.0.1", 50000, "127.0.0.1", 50001, 5));
    EXPECT_EQ(loop.hostName, "localhost");
    EXPECT_EQ(loop.ipAddress, "127.0.0.1");
    EXPECT_EQ(loop.interfaceText, "127.0.0.1");

    const CConnectionRecord remote = ClassifyOne(Row("10.0.0.5", 50000, "10.1.2.3", 443, 11));
    EXPECT_EQ(remote.hostName, "10.1.2.3");
    EXPECT_EQ(remote.ipAddress, "10.1.2.3");
    EXPECT_EQ(remote.interfaceText, "10.0.0.5");
    EXPECT_EQ(remote.remotePort, 443);
    EXPECT_EQ(remote.state, kStateTimeWait);
    EXPECT_EQ(remote.id, 0);
    EXPECT_EQ(remote.openTime, 0);
}

TEST(ListeningPortRuleTest, AConnectionToALocalListenerIsInbound) {
    struct Case {
        const char* what;
        std::vector<TcpRow> listeners;
        TcpRow connection;
        int category;
        std::string service;
    };
    const std::vector<Case> cases = {
        {"unnamed high port with a listener on all addresses",
         {Row("0.0.0.0", 8000, "0.0.0.0", 0, kStateListen)},
         Row("10.0.0.5", 8000, "10.0.0.9", 50000, 5),
         kCategoryInbound,
         "unknown"},
        {"listener that sorts after the connection, named remote port",
         {Row("127.0.0.1", 44000, "0.0.0.0", 0, kStateListen)},
         Row("10.0.0.5", 44000, "10.0.0.9", 3389, 5),
         kCategoryInbound,
         "unknown"},
        {"named listening port",
         {Row("0.0.0.0", 8080, "0.0.0.0", 0, kStateListen)},
         Row("10.0.0.5", 8080, "10.0.0.9", 3389, 5),
         kCategoryInbound,
         "http-alt"},
        {"no listener: the remote port's name decides",
         {},
         Row("10.0.0.5", 44000, "10.0.0.9", 3389, 5),
         kCategoryOutbound,
         "ms-wbt-server"},
        {"listener on the remote port only: the client end",
         {Row("0.0.0.0", 8000, "0.0.0.0", 0, kStateListen)},
         Row("127.0.0.1", 50000, "127.0.0.1", 8000, 5),
         kCategoryUnknown,
         "unknown"},
        {"a privileged remote port still decides first",
         {Row("0.0.0.0", 44000, "0.0.0.0", 0, kStateListen)},
         Row("10.0.0.5", 44000, "10.0.0.9", 25, 5),
         kCategoryOutbound,
         "outbound smtp"},
        {"a TIME_WAIT row on the port is no listener",
         {Row("10.0.0.5", 8000, "10.0.0.7", 50001, kStateTimeWait)},
         Row("10.0.0.5", 8000, "10.0.0.9", 50000, 5),
         kCategoryUnknown,
         "unknown"},
    };
    for (const Case& c : cases) {
        std::vector<TcpRow> rows = c.listeners;
        rows.push_back(c.connection);
        CCountingAgent agent(
            std::make_unique<CFixtureTableSource>(std::move(rows), std::vector<Ipv4Octets>{}));
        const Walk walk = RunWalk(agent);
        ASSERT_EQ(walk.end, WalkEnd::Complete) << c.what;
        const auto found =
            std::find_if(walk.records.begin(), walk.records.end(), [&](const CConnectionRecord& r) {
                return r.localPort == c.connection.localPort &&
                       r.remotePort == c.connection.remotePort;
            });
        ASSERT_NE(found, walk.records.end()) << c.what;
        EXPECT_EQ(found->category, c.category) << c.what;
        EXPECT_EQ(found->serviceText, c.service) << c.what;
    }
}

class WalkTest : public ::testing::Test {
protected:
    WalkTest() {
        auto source = std::make_unique<CFixtureTableSource>(
            std::vector<TcpRow>{Row("10.0.0.5", 50000, "10.0.0.9", 25, 5),
                                Row("0.0.0.0", 21, "0.0.0.0", 0, 2),
                                Row("10.0.0.5", 21, "10.0.0.7", 40000, 5)},
            std::vector<Ipv4Octets>{testing::Address("10.0.0.5")});
        fixture = source.get();
        agent = std::make_unique<CCountingAgent>(std::move(source));
    }
    CFixtureTableSource* fixture = nullptr;
    std::unique_ptr<CCountingAgent> agent;
};

TEST_F(WalkTest, VisitsEveryRowInTableOrderWithOneGetEach) {
    const Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Complete);
    ASSERT_EQ(walk.records.size(), 3u);
    EXPECT_EQ(walk.records[0].localPort, 21);
    EXPECT_EQ(walk.records[0].category, kCategoryListening);
    EXPECT_EQ(walk.records[1].ipAddress, "10.0.0.7");
    EXPECT_EQ(walk.records[2].serviceText, "outbound smtp");
    EXPECT_EQ(agent->getNexts, 4);
    EXPECT_EQ(agent->gets, 3);
    EXPECT_EQ(fixture->TcpSnapshots(), 1);
    EXPECT_EQ(
        std::count(walk.traces.begin(), walk.traces.end(), "ParseConnectionTableEntry exiting"), 3);
}

TEST_F(WalkTest, RowsSharingAnIndexAreAllHandedOverWithTheirCookies) {
    // A new connection on the address and ports of an old TIME_WAIT one is another socket.
    fixture->SetRows({Row("127.0.0.1", 50000, "127.0.0.1", 8080, 5, 71),
                      Row("127.0.0.1", 50000, "127.0.0.1", 8080, 11, 70)});
    const Walk walk = RunWalk(*agent);
    ASSERT_EQ(walk.records.size(), 2u);
    EXPECT_EQ(walk.records[0].state, kStateTimeWait);
    EXPECT_EQ(walk.records[0].cookie, 70u);
    EXPECT_EQ(walk.records[1].state, kStateEstablished);
    EXPECT_EQ(walk.records[1].cookie, 71u);
    EXPECT_EQ(walk.records[1].serviceText, "http-alt");
}

TEST_F(WalkTest, AnEmptyTableEndsWithoutAGet) {
    fixture->SetRows({});
    const Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Complete);
    EXPECT_TRUE(walk.records.empty());
    EXPECT_EQ(agent->gets, 0);
    EXPECT_EQ(agent->getNexts, 1);
}

TEST_F(WalkTest, AnAnswerPastTheTableEndsWithoutAGet) {
    // An agent that knows objects after the table answers with one of them.
    fixture->SetRows({});
    agent->hook = [](int type, std::vector<MibVariable>& variables, int& status, bool&) {
        if (type == kSnmpGetNext) {
            status = kErrorNoError;
            variables[0].name = *Oid::Parse("1.3.6.1.2.1.6.14.0");
            variables[0].value = MibValue::Integer(0);
        }
    };
    const Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Complete);
    EXPECT_EQ(agent->gets, 0);
}

TEST_F(WalkTest, AFailedQueryEndsTheWalkWithTheRowsSoFar) {
    agent->hook = [this](int type, std::vector<MibVariable>&, int&, bool& result) {
        if (type == kSnmpGetNext && agent->getNexts == 3) {
            result = false;
        }
    };
    const Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_EQ(walk.records.size(), 2u);
}

TEST_F(WalkTest, ErrorStatusesEndTheWalkWithTheirTraces) {
    agent->hook = [](int type, std::vector<MibVariable>&, int& status, bool&) {
        if (type == kSnmpGetNext) {
            status = kErrorGeneric;
        }
    };
    Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_TRUE(walk.records.empty());
    EXPECT_EQ(walk.traces, std::vector<std::string>{"DataThread, != SNMP_ERRORSTATUS_NOERROR"});

    agent->hook = [](int type, std::vector<MibVariable>&, int& status, bool&) {
        if (type == kSnmpGetNext) {
            status = kErrorNoSuchName;
        }
    };
    walk = RunWalk(*agent);
    EXPECT_TRUE(walk.records.empty());
    EXPECT_EQ(walk.traces, std::vector<std::string>{"DataThread, SNMP_ERRORSTATUS_NOSUCHNAME"});
}

TEST_F(WalkTest, AFailedRowGetEndsTheWalk) {
    agent->hook = [this](int type, std::vector<MibVariable>&, int&, bool& result) {
        if (type == kSnmpGet && agent->gets == 2) {
            result = false;
        }
    };
    Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_EQ(walk.records.size(), 1u);
    EXPECT_EQ(walk.traces.back(), "DataThread, snmp query failed");

    agent->gets = 0;
    agent->hook = [](int type, std::vector<MibVariable>&, int& status, bool&) {
        if (type == kSnmpGet) {
            status = kErrorNoSuchName;
        }
    };
    walk = RunWalk(*agent);
    EXPECT_TRUE(walk.records.empty());
    EXPECT_EQ(walk.traces.back(), "DataThread, snmp error");

    agent->hook = [](int type, std::vector<MibVariable>& variables, int&, bool&) {
        if (type == kSnmpGet) {
            variables[3].value = MibValue::Integer(0);  // remote address without octets
        }
    };
    walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_TRUE(walk.records.empty());
}

TEST_F(WalkTest, AnExceptionDropsOnlyItsRow) {
    agent->hook = [this](int type, std::vector<MibVariable>&, int&, bool&) {
        if (type == kSnmpGet && agent->gets == 2) {
            throw std::runtime_error("row parse");
        }
    };
    Walk walk = RunWalk(*agent);
    // The other rows are handed over, but the table is not whole.
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    ASSERT_EQ(walk.records.size(), 2u);
    EXPECT_EQ(walk.records[0].localPort, 21);
    EXPECT_EQ(walk.records[1].localPort, 50000);
    EXPECT_EQ(std::count(walk.traces.begin(), walk.traces.end(), "CDataThread: caught exception"),
              1);

    // A throwing hand-over drops that record too, and the walk goes on.
    agent->hook = nullptr;
    std::vector<int> ports;
    const WalkEnd end = WalkConnectionTable(
        *agent, Services(),
        [&](CConnectionRecord record) {
            if (record.localPort == 21 && record.state == kStateListen) {
                throw std::runtime_error("hand-over");
            }
            ports.push_back(record.localPort);
        },
        [](std::string_view) {});
    EXPECT_EQ(end, WalkEnd::Failed);
    EXPECT_EQ(ports, (std::vector<int>{21, 50000}));
}

TEST_F(WalkTest, AThrowingGetNextEndsTheWalkInsteadOfRepeatingIt) {
    agent->hook = [](int type, std::vector<MibVariable>&, int&, bool&) {
        if (type == kSnmpGetNext) {
            throw std::runtime_error("cursor");
        }
    };
    const Walk walk = RunWalk(*agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_EQ(agent->getNexts, 1);
}

TEST(WalkUnloadedTest, AnUnloadedAgentYieldsAnEmptyFailedWalk) {
    CMibAgent agent(nullptr);
    const Walk walk = RunWalk(agent);
    EXPECT_EQ(walk.end, WalkEnd::Failed);
    EXPECT_TRUE(walk.records.empty());
}

}  // namespace
}  // namespace tarvik
