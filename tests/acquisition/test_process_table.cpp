#include "acquisition/ProcessTable.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/UniqueFd.h"
#include "support/FakeProc.h"

namespace tarvik {
namespace {

using testing::CFakeProc;

CConnectionRecord Socket(std::uint64_t inode, std::uint32_t uid = 0) {
    CConnectionRecord record;
    record.inode = inode;
    record.uid = uid;
    return record;
}

TEST(ProcessTableTest, FindsTheProcessHoldingEachSocketAndNamesTheOwner) {
    CFakeProc proc;
    proc.AddProcess(100, "nginx", {5001, 5002});
    proc.AddProcess(200, "ssh", {6001});
    CProcessTable table(proc.Root());
    std::vector<CConnectionRecord> records = {Socket(5002), Socket(6001), Socket(9999), Socket(0)};
    table.Fill(records);
    EXPECT_EQ(records[0].pid, 100);
    EXPECT_EQ(records[0].command, "nginx");
    EXPECT_EQ(records[1].pid, 200);
    EXPECT_EQ(records[1].command, "ssh");
    EXPECT_EQ(records[2].pid, 0);  // nobody holds it
    EXPECT_EQ(records[2].command, "");
    EXPECT_EQ(records[0].user, "root");
    // A socket no process holds (TIME_WAIT) has no owner at all.
    EXPECT_EQ(records[3].pid, 0);
    EXPECT_EQ(records[3].user, "");
}

TEST(ProcessTableTest, KnownInodesCostNoFurtherReadsAndTheMissingOneIsGivenUp) {
    CFakeProc proc;
    proc.AddProcess(100, "nginx", {5001});
    proc.AddProcess(200, "ssh", {6001});
    CProcessTable table(proc.Root());
    std::vector<CConnectionRecord> records = {Socket(5001), Socket(6001), Socket(9999)};
    table.Fill(records);
    const std::size_t afterFirst = table.ProcessesRead();
    EXPECT_EQ(afterFirst, 2u);
    EXPECT_EQ(table.Unresolved(), 0u);  // 9999 was looked for in every process
    for (int poll = 0; poll < 5; ++poll) {
        std::vector<CConnectionRecord> again = {Socket(5001), Socket(6001), Socket(9999)};
        table.Fill(again);
        EXPECT_EQ(again[0].pid, 100);
        EXPECT_EQ(again[1].command, "ssh");
    }
    EXPECT_EQ(table.ProcessesRead(), afterFirst);

    // A new socket is looked for, and found in a process started since.
    proc.AddProcess(300, "curl", {7001});
    std::vector<CConnectionRecord> later = {Socket(5001), Socket(7001)};
    table.Fill(later);
    EXPECT_EQ(later[1].pid, 300);
    EXPECT_EQ(later[1].command, "curl");
}

TEST(ProcessTableTest, ABoundOnProcessesPerFillSpreadsTheSearchOverPolls) {
    CFakeProc proc;
    for (int pid = 10; pid < 20; ++pid) {
        proc.AddProcess(pid, "worker" + std::to_string(pid), {});
    }
    proc.AddProcess(20, "server", {8001});
    CProcessTable table(proc.Root(), 4);
    std::vector<CConnectionRecord> records = {Socket(8001)};
    int polls = 0;
    while (records[0].pid == 0 && polls < 10) {
        const std::size_t before = table.ProcessesRead();
        records = {Socket(8001)};
        table.Fill(records);
        EXPECT_LE(table.ProcessesRead() - before, 4u);
        ++polls;
    }
    EXPECT_EQ(polls, 3);  // 11 processes, 4 a poll
    EXPECT_EQ(records[0].pid, 20);
    EXPECT_EQ(records[0].command, "server");
}

// A process with more descriptors than one Fill may read is read over several, going on where
// the last stopped, and the processes after it are still reached.
TEST(ProcessTableTest, ABoundOnLinksPerFillGoesOnInsideAProcessWithManyDescriptors) {
    CFakeProc proc;
    std::vector<std::uint64_t> held;
    for (std::uint64_t inode = 9000; inode < 9050; ++inode) {
        held.push_back(inode);
    }
    proc.AddProcess(10, "busy", held);  // 51 links with fd 0
    proc.AddProcess(11, "client", {7001});
    constexpr std::size_t kLinks = 8;
    CProcessTable table(proc.Root(), CProcessTable::kDefaultProcessesPerFill, kLinks);
    std::vector<CConnectionRecord> records;
    int polls = 0;
    do {
        records = {Socket(9049), Socket(7001), Socket(9000)};
        const std::size_t before = table.LinksRead();
        table.Fill(records);
        EXPECT_LE(table.LinksRead() - before, kLinks);
        ++polls;
    } while ((records[0].pid == 0 || records[1].pid == 0) && polls < 20);
    EXPECT_EQ(records[0].pid, 10);
    EXPECT_EQ(records[2].pid, 10);
    EXPECT_EQ(records[1].pid, 11);
    EXPECT_EQ(records[1].command, "client");
    // 52 links in all, 8 a poll: no link read twice.
    EXPECT_EQ(polls, 7);
    EXPECT_EQ(table.LinksRead(), 52u);
}

TEST(ProcessTableTest, AnInodeSeenMidPassIsLookedForInTheProcessesAlreadyPassed) {
    CFakeProc proc;
    proc.AddProcess(10, "early", {1001});
    for (int pid = 11; pid < 16; ++pid) {
        proc.AddProcess(pid, "other", {});
    }
    CProcessTable table(proc.Root(), 2);
    std::vector<CConnectionRecord> records = {Socket(4444)};  // nowhere: keeps the pass going
    table.Fill(records);                                      // reads 10, 11
    records = {Socket(4444), Socket(1001)};                   // 1001 is in pid 10, passed
    for (int poll = 0; poll < 6 && records[1].pid == 0; ++poll) {
        records = {Socket(4444), Socket(1001)};
        table.Fill(records);
    }
    EXPECT_EQ(records[1].pid, 10);
    EXPECT_EQ(records[1].command, "early");
}

TEST(ProcessTableTest, AMissingOrUnreadableProcFindsNothingAndDoesNotFail) {
    CProcessTable table("/nonexistent-tarvik-proc");
    std::vector<CConnectionRecord> records = {Socket(5001, 0)};
    table.Fill(records);
    EXPECT_EQ(records[0].pid, 0);
    EXPECT_EQ(records[0].user, "root");
}

TEST(ProcessTableTest, OwnersOfLiveSocketsOutsideTheFilledRecordsAreKept) {
    // The poller fills only the rows that changed; the other live sockets keep their owners, so
    // a row that changes later is not looked for again among every process.
    CFakeProc proc;
    std::vector<std::uint64_t> inodes;
    std::vector<TcpRow> live;
    std::vector<CConnectionRecord> records;
    for (std::uint64_t inode = 1000; inode < 1100; ++inode) {
        inodes.push_back(inode);
        TcpRow row;
        row.inode = inode;
        live.push_back(row);
        records.push_back(Socket(inode));
    }
    proc.AddProcess(300, "server", inodes);
    CProcessTable table(proc.Root());
    table.Fill(records, live);
    for (const std::uint64_t inode : inodes) {
        EXPECT_TRUE(table.Settled(inode)) << inode;
    }
    std::vector<CConnectionRecord> changed = {Socket(1000)};
    table.Fill(changed, live);
    const std::size_t processesRead = table.ProcessesRead();
    std::vector<CConnectionRecord> later = {Socket(1050)};
    table.Fill(later, live);
    EXPECT_EQ(later[0].pid, 300);
    EXPECT_EQ(table.ProcessesRead(), processesRead);  // known, not looked for again
    EXPECT_TRUE(table.Settled(0));
    EXPECT_FALSE(table.Settled(4242));
}

TEST(ProcessTableTest, UsersWithoutANameAreShownByNumber) {
    EXPECT_EQ(UserNameOf(0), "root");
    EXPECT_EQ(UserNameOf(3999999999u), "3999999999");
}

TEST(ProcessTableTest, FindsThisProcessAsTheHolderOfItsOwnSocket) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener) << std::strerror(errno);
    struct stat status {};
    ASSERT_EQ(::fstat(listener.Get(), &status), 0) << std::strerror(errno);
    if (::access("/proc/self/fd", R_OK) != 0) {
        GTEST_SKIP() << "/proc/self/fd cannot be read here: " << std::strerror(errno);
    }
    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);

    CProcessTable table;
    std::vector<CConnectionRecord> records = {Socket(status.st_ino, ::getuid())};
    table.Fill(records);
    EXPECT_EQ(records[0].pid, ::getpid());
    EXPECT_EQ(records[0].command, command);
    EXPECT_EQ(records[0].user, UserNameOf(::getuid()));
}

}  // namespace
}  // namespace tarvik
