#include <gtest/gtest.h>

#include "acquisition/MibAgent.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::Address;
using testing::Row;

Oid O(const char* text) {
    return *Oid::Parse(text);
}

struct Answer {
    bool ok = false;
    int errorStatus = -1;
    int errorIndex = -1;
    MibVariable variable;
};

Answer Ask(CMibAgent& agent, int type, const Oid& name) {
    Answer answer;
    std::vector<MibVariable> variables(1);
    variables[0].name = name;
    answer.ok = agent.Query(type, variables, answer.errorStatus, answer.errorIndex);
    answer.variable = variables[0];
    return answer;
}

std::vector<std::string> WalkNames(CMibAgent& agent, const Oid& start, int limit = 100) {
    std::vector<std::string> names;
    Oid name = start;
    for (int i = 0; i < limit; ++i) {
        const Answer answer = Ask(agent, kSnmpGetNext, name);
        if (!answer.ok || answer.errorStatus != kErrorNoError) {
            break;
        }
        name = answer.variable.name;
        names.push_back(name.ToString());
    }
    return names;
}

TEST(OidTest, ParsesDottedTextAndRejectsGarbage) {
    EXPECT_EQ(O("1.3.6.1.2.1.6.13"), TcpConnTableOid());
    EXPECT_EQ(Oid::Parse("1.3.6.1.2.1.6.13")->size(), 8u);
    EXPECT_FALSE(Oid::Parse("1..3"));
    EXPECT_FALSE(Oid::Parse("1.3."));
    EXPECT_FALSE(Oid::Parse("1.x"));
    EXPECT_FALSE(Oid::Parse("1.99999999999"));
    EXPECT_TRUE(Oid::Parse("")->empty());
}

TEST(OidTest, PrefixSortsBeforeItsExtensionsAndComponentsCompareAsNumbers) {
    EXPECT_LT(O("1.3.6"), O("1.3.6.0"));
    EXPECT_LT(O("1.3.6.9"), O("1.3.6.10"));
    EXPECT_LT(O("1.3.6.1.2.1.4.20.1.1.255.255.255.255"), O("1.3.6.1.2.1.6"));
    EXPECT_TRUE(O("1.3.6.1.2.1.6.13.1.1.127").StartsWith(TcpConnTableOid()));
    EXPECT_FALSE(O("1.3.6.1.2.1.6.14").StartsWith(TcpConnTableOid()));
    EXPECT_TRUE(TcpConnTableOid().IsPrefixOf(TcpStateColumnOid()));
}

class AgentTest : public ::testing::Test {
protected:
    AgentTest() {
        auto source = std::make_unique<CFixtureTableSource>(
            std::vector<TcpRow>{Row("10.0.0.5", 1024, "10.0.0.9", 25, 5),
                                Row("0.0.0.0", 21, "0.0.0.0", 0, 2)},
            std::vector<Ipv4Octets>{Address("192.168.1.5"), Address("0.0.0.0"),
                                    Address("127.0.0.1")});
        fixture = source.get();
        agent = std::make_unique<CMibAgent>(std::move(source));
        agent->Init();
    }

    CFixtureTableSource* fixture = nullptr;
    std::unique_ptr<CMibAgent> agent;
};

TEST_F(AgentTest, GetNextWalksColumnsInIdentifierOrderRowByRow) {
    const auto names = WalkNames(*agent, TcpConnTableOid());
    std::vector<std::string> expected;
    for (int column = 1; column <= 6; ++column) {
        const std::string base = "1.3.6.1.2.1.6.13.1." + std::to_string(column);
        expected.push_back(base + ".0.0.0.0.21.0.0.0.0.0");
        expected.push_back(base + ".10.0.0.5.1024.10.0.0.9.25");
    }
    EXPECT_EQ(names, expected);
}

TEST_F(AgentTest, ColumnsCarryTheirValueTypes) {
    fixture->SetRows({Row("10.0.0.5", 1024, "10.0.0.9", 25, 5, 0x1234'5678'9abc'def0)});
    const Oid row = O("1.3.6.1.2.1.6.13.1.1.10.0.0.5.1024.10.0.0.9.25");
    ASSERT_TRUE(Ask(*agent, kSnmpGetNext, TcpConnTableOid()).ok);
    std::vector<MibVariable> variables(6);
    for (std::uint32_t c = 1; c <= 6; ++c) {
        variables[c - 1].name = row;
        variables[c - 1].name[kTcpColumnComponent] = c;
    }
    int status = -1;
    int index = -1;
    ASSERT_TRUE(agent->Query(kSnmpGet, variables, status, index));
    ASSERT_EQ(status, kErrorNoError);
    EXPECT_EQ(variables[0].value.type, kAsnInteger);
    EXPECT_EQ(variables[0].value.integer, 5);
    EXPECT_EQ(variables[1].value.type, kAsnIpAddress);
    EXPECT_EQ(variables[1].value.octets, Address("10.0.0.5"));
    EXPECT_EQ(variables[2].value.integer, 1024);
    EXPECT_EQ(variables[3].value.octets, Address("10.0.0.9"));
    EXPECT_EQ(variables[4].value.integer, 25);
    EXPECT_EQ(variables[5].value.type, kAsnCounter64);
    EXPECT_EQ(variables[5].value.counter64, 0x1234'5678'9abc'def0u);
}

TEST_F(AgentTest, UnknownNamesAnswerNoSuchNameWithTheirIndex) {
    std::vector<MibVariable> variables(2);
    variables[0].name = O("1.3.6.1.2.1.6.13.1.1.0.0.0.0.21.0.0.0.0.0");
    variables[1].name = O("1.3.6.1.2.1.6.13.1.1.0.0.0.0.22.0.0.0.0.0");
    int status = -1;
    int index = -1;
    ASSERT_TRUE(agent->Query(kSnmpGet, variables, status, index));
    EXPECT_EQ(status, kErrorNoSuchName);
    EXPECT_EQ(index, 2);

    const Answer past = Ask(*agent, kSnmpGetNext, O("1.3.6.1.2.1.6.13.1.6.255"));
    EXPECT_TRUE(past.ok);
    EXPECT_EQ(past.errorStatus, kErrorNoSuchName);

    EXPECT_EQ(Ask(*agent, 99, TcpConnTableOid()).errorStatus, kErrorGeneric);
}

TEST_F(AgentTest, WalkAnswersFromTheSnapshotTakenAtItsStart) {
    const Answer first = Ask(*agent, kSnmpGetNext, TcpConnTableOid());
    ASSERT_EQ(fixture->TcpSnapshots(), 1);
    fixture->SetRows({Row("10.0.0.5", 1024, "10.0.0.9", 25, 11)});

    // The rest of the walk still sees the listener and the established state.
    const Answer second = Ask(*agent, kSnmpGetNext, first.variable.name);
    EXPECT_EQ(second.variable.value.integer, 5);
    EXPECT_EQ(Ask(*agent, kSnmpGet, first.variable.name).variable.value.integer, 2);
    EXPECT_EQ(fixture->TcpSnapshots(), 1);

    // A new walk sees the new table.
    EXPECT_EQ(Ask(*agent, kSnmpGetNext, TcpConnTableOid()).variable.value.integer, 11);
    EXPECT_EQ(Ask(*agent, kSnmpGetNext, TcpStateColumnOid()).variable.value.integer, 11);
    EXPECT_EQ(fixture->TcpSnapshots(), 3);
}

TEST_F(AgentTest, DuplicateRowIndexesAreAllWalkedInOrder) {
    fixture->SetRows({Row("127.0.0.1", 5000, "127.0.0.1", 6000, 11),
                      Row("127.0.0.1", 5000, "127.0.0.1", 6000, 5),
                      Row("127.0.0.1", 5000, "127.0.0.1", 6000, 8),
                      Row("127.0.0.1", 5001, "127.0.0.1", 6000, 5)});
    std::vector<std::int64_t> states;
    Oid name = TcpConnTableOid();
    for (int i = 0; i < 10; ++i) {
        const Answer answer = Ask(*agent, kSnmpGetNext, name);
        if (answer.variable.value.type != kAsnInteger) {
            break;
        }
        name = answer.variable.name;
        states.push_back(answer.variable.value.integer);
        // Each row's name finds that row again, not its twin.
        EXPECT_EQ(Ask(*agent, kSnmpGet, name).variable.value.integer, states.back());
    }
    EXPECT_EQ(states, (std::vector<std::int64_t>{11, 5, 8, 5}));
}

TEST_F(AgentTest, RowsSharingAnIndexAreOrderedByCookie) {
    fixture->SetRows({Row("127.0.0.1", 5000, "127.0.0.1", 6000, 5, 900),
                      Row("127.0.0.1", 5000, "127.0.0.1", 6000, 11, 300),
                      Row("127.0.0.1", 5000, "127.0.0.1", 6000, 8, 600)});
    const Oid cookieColumn = O("1.3.6.1.2.1.6.13.1.6");
    std::vector<std::uint64_t> cookies;
    Oid name = cookieColumn;
    for (int i = 0; i < 5; ++i) {
        const Answer answer = Ask(*agent, kSnmpGetNext, name);
        if (!answer.ok || answer.variable.value.type != kAsnCounter64) {
            break;
        }
        name = answer.variable.name;
        cookies.push_back(answer.variable.value.counter64);
    }
    EXPECT_EQ(cookies, (std::vector<std::uint64_t>{300, 600, 900}));
}

TEST_F(AgentTest, SourceFailureFailsTheQuery) {
    fixture->SetFailing(true);
    EXPECT_FALSE(Ask(*agent, kSnmpGetNext, TcpConnTableOid()).ok);
    EXPECT_TRUE(BuildInterfaceAddressList(*agent).empty());
}

TEST(AgentSourceTest, EachTableIsReadOnlyWhenARequestNeedsIt) {
    // Reading the addresses takes descriptors of its own: a walk of the connection table must
    // not fail because they cannot be had.
    auto source = std::make_unique<testing::CFaultySource>(
        std::vector<TcpRow>{Row("10.0.0.5", 1024, "10.0.0.9", 25, 5)});
    auto* faulty = source.get();
    faulty->addressesFail = true;
    CMibAgent agent(std::move(source));
    const Answer first = Ask(agent, kSnmpGetNext, TcpConnTableOid());
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.variable.value.integer, 5);
    std::vector<MibVariable> columns(1);
    columns[0].name = first.variable.name;
    columns[0].name[kTcpColumnComponent] = 3;
    int status = -1;
    int index = -1;
    ASSERT_TRUE(agent.Query(kSnmpGet, columns, status, index));
    EXPECT_EQ(columns[0].value.integer, 1024);

    // The address walk fails, with the source's errno.
    EXPECT_FALSE(Ask(agent, kSnmpGetNext, IpAddrColumnOid()).ok);
    EXPECT_EQ(agent.LastError(), ENOBUFS);
    EXPECT_EQ(faulty->Dumps(), 1);
}

TEST(AgentSourceTest, AFailedDumpLeavesItsErrnoUntilADumpSucceeds) {
    auto source = std::make_unique<testing::CFaultySource>(std::vector<TcpRow>{});
    source->failEveryNth = 2;
    source->error = EMFILE;
    CMibAgent agent(std::move(source));
    EXPECT_TRUE(Ask(agent, kSnmpGetNext, TcpConnTableOid()).ok);
    EXPECT_EQ(agent.LastError(), 0);
    EXPECT_FALSE(Ask(agent, kSnmpGetNext, TcpConnTableOid()).ok);
    EXPECT_EQ(agent.LastError(), EMFILE);
    EXPECT_TRUE(Ask(agent, kSnmpGetNext, TcpConnTableOid()).ok);
    EXPECT_EQ(agent.LastError(), 0);
}

TEST(AgentLoadTest, AnAgentWithoutSourceAnswersNothing) {
    CMibAgent agent(nullptr);
    EXPECT_FALSE(agent.Loaded());
    EXPECT_FALSE(agent.Init());
    std::vector<MibVariable> variables(1);
    variables[0].name = TcpConnTableOid();
    int status = 77;
    int index = 77;
    EXPECT_FALSE(agent.Query(kSnmpGetNext, variables, status, index));
    EXPECT_EQ(variables[0].name, TcpConnTableOid());
    EXPECT_EQ(status, 77);
    EXPECT_TRUE(BuildInterfaceAddressList(agent).empty());
}

TEST_F(AgentTest, InterfaceListIsInIdentifierOrderWithoutTheAnyAddress) {
    EXPECT_EQ(BuildInterfaceAddressList(*agent),
              (std::vector<std::string>{"127.0.0.1", "192.168.1.5"}));
}

TEST_F(AgentTest, InterfaceListOfOnlyTheAnyAddressIsEmpty) {
    fixture->SetAddresses({Address("0.0.0.0")});
    EXPECT_TRUE(BuildInterfaceAddressList(*agent).empty());
}

TEST_F(AgentTest, InterfaceWalkEndsWhenNothingFollowsTheAddresses) {
    // No TCP rows: the GETNEXT after the last address answers noSuchName with the name
    // unchanged, which must end the walk rather than repeat it.
    fixture->SetRows({});
    EXPECT_EQ(BuildInterfaceAddressList(*agent),
              (std::vector<std::string>{"127.0.0.1", "192.168.1.5"}));
}

TEST(KernelAgentTest, ListsLoopbackAmongTheLocalAddresses) {
    const auto addresses = ListKernelInterfaceAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    EXPECT_EQ(std::find(addresses.begin(), addresses.end(), "0.0.0.0"), addresses.end());
}

}  // namespace
}  // namespace tarvik
