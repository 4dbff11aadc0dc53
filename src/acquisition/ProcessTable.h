#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "acquisition/TableSource.h"

namespace tarvik {

// Finds the process holding each socket, by the socket's inode among the /proc/<pid>/fd links
// ("socket:[inode]"), and names the socket's owner. Only inodes not seen before cost any work:
// /proc is read at most once per Fill and only while such an inode is unresolved, and at most
// `processesPerFill` processes and `linksPerFill` descriptor links are read per Fill, the next
// Fill going on where the last stopped (inside a process with more descriptors than that). So a
// machine with a million descriptors makes owners appear later, never makes a poll costly.
// An inode not found within one whole pass over the processes stays without a process (another
// user's process, or a socket passed on and closed). One thread only.
class CProcessTable {
public:
    static constexpr std::size_t kDefaultProcessesPerFill = 1024;
    // A link costs the kernel a descriptor lookup and a name, about 4 us measured: at most
    // some 18 ms per poll (2.5% of a core at one poll per 750 ms) however many descriptors.
    static constexpr std::size_t kDefaultLinksPerFill = 4096;
    // For a one-shot look (the list command), which has no next Fill to go on in.
    static constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

    explicit CProcessTable(std::filesystem::path procRoot = "/proc",
                           std::size_t processesPerFill = kDefaultProcessesPerFill,
                           std::size_t linksPerFill = kDefaultLinksPerFill);

    // Sets pid, command and user of each record that has an inode (pid 0 and empty command
    // where the process is not known).
    void Fill(std::vector<CConnectionRecord>& records);
    // The same for some rows of a snapshot: what is known of the sockets of `live` is kept.
    void Fill(std::vector<CConnectionRecord>& records, const std::vector<TcpRow>& live);
    // The first half of that: looks for the owners of the live sockets not known yet (within
    // the bounds above) and forgets what no live socket holds. The poller looks before it
    // decides which rows to send, so that a row whose owner is still being looked for is sent
    // again only once the owner is found.
    void Look(const std::vector<TcpRow>& live);
    // The second half: pid, command and user of one record from what is known.
    void SetOwner(CConnectionRecord& record);

    // The same for records outside a snapshot (sockets the kernel's notices reported): nothing
    // is forgotten here, the next Fill with the live rows prunes.
    void FillMore(std::vector<CConnectionRecord>& records) { Assign(records); }

    // An owner the kernel's notice named (the process that connected or accepted): taken as
    // found, so the socket is never looked for.
    void Learn(std::uint64_t inode, int pid, const std::string& command);

    // The name of a user id (cached), or the id in decimal when it has none.
    const std::string& UserName(std::uint32_t uid);

    // True when the owner of the inode is known or given up (and for inode 0): later Fills
    // would give its records nothing new.
    bool Settled(std::uint64_t inode) const { return inode == 0 || owners_.contains(inode); }

    // Processes whose descriptors were read (a process read over several Fills counts in
    // each), and descriptor links read, over all Fills.
    std::size_t ProcessesRead() const { return processesRead_; }
    std::size_t LinksRead() const { return linksRead_; }
    // Inodes still being looked for.
    std::size_t Unresolved() const { return pending_.size(); }

private:
    struct Owner {
        int pid = 0;
        CompactText command;  // shared by the records it is copied to
    };

    void Assign(std::vector<CConnectionRecord>& records);
    template <typename Rows>
    void NoteNewInodes(const Rows& rows);
    using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

    void Scan();
    // False when the link budget ran out part way: the rest of the process waits for the
    // next Fill.
    bool ReadProcess(int pid, std::size_t& linksLeft);
    bool MidPass() const { return resumeAfter_ != 0 || partialPid_ != 0; }
    void EndPass();
    template <typename Rows>
    void Forget(const Rows& live);

    std::filesystem::path root_;
    std::size_t processesPerFill_;
    std::size_t linksPerFill_;
    std::unordered_map<std::uint64_t, Owner> owners_;  // found, or given up (pid 0)
    // Inodes looked for -> the pass after whose end they are given up.
    std::unordered_map<std::uint64_t, std::uint64_t> pending_;
    std::unordered_map<std::uint32_t, std::string> users_;
    int resumeAfter_ = 0;  // the next Fill reads processes with a higher pid
    // A process left part way, its descriptor folder open where the reading stopped.
    int partialPid_ = 0;
    DirPtr partialDir_{nullptr, &::closedir};
    std::uint64_t pass_ = 0;
    std::size_t processesRead_ = 0;
    std::size_t linksRead_ = 0;
};

// The name of a user id, or the id in decimal when it has none.
std::string UserNameOf(std::uint32_t uid);

}  // namespace tarvik
