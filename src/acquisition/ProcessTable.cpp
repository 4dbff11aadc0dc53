#include "acquisition/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>

namespace tarvik {

namespace {

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

DirPtr OpenDir(const std::filesystem::path& path) {
    return DirPtr(::opendir(path.c_str()), &::closedir);
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The inode of a "socket:[12345]" link; 0 for any other link.
std::uint64_t SocketInode(std::string_view link) {
    constexpr std::string_view kPrefix = "socket:[";
    if (link.size() <= kPrefix.size() + 1 || link.substr(0, kPrefix.size()) != kPrefix ||
        link.back() != ']') {
        return 0;
    }
    std::uint64_t inode = 0;
    const auto digits = link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1);
    return ParseNumber(digits, inode) ? inode : 0;
}

std::string ReadCommand(const std::filesystem::path& processDir) {
    std::ifstream file(processDir / "comm");
    // A name may hold a line feed of its own: only the one the kernel ends the file with goes.
    std::string command(std::istreambuf_iterator<char>(file), {});
    if (!command.empty() && command.back() == '\n') {
        command.pop_back();
    }
    return command;
}

// The pids above `after` in increasing order.
std::vector<int> ListPids(const std::filesystem::path& root, int after) {
    std::vector<int> pids;
    const DirPtr dir = OpenDir(root);
    if (!dir) {
        return pids;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        int pid = 0;
        if (ParseNumber(std::string_view(entry->d_name), pid) && pid > after) {
            pids.push_back(pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

}  // namespace

std::string UserNameOf(std::uint32_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == 0 && found != nullptr && found->pw_name != nullptr) {
            return found->pw_name;
        }
        return std::to_string(uid);
    }
}

CProcessTable::CProcessTable(std::filesystem::path procRoot, std::size_t processesPerFill,
                             std::size_t linksPerFill)
    : root_(std::move(procRoot)),
      processesPerFill_(std::max<std::size_t>(processesPerFill, 1)),
      linksPerFill_(std::max<std::size_t>(linksPerFill, 1)) {}

void CProcessTable::Fill(std::vector<CConnectionRecord>& records) {
    Assign(records);
    Forget(records);
}

void CProcessTable::Fill(std::vector<CConnectionRecord>& records, const std::vector<TcpRow>& live) {
    NoteNewInodes(records);
    Look(live);
    for (CConnectionRecord& record : records) {
        SetOwner(record);
    }
}

void CProcessTable::Look(const std::vector<TcpRow>& live) {
    NoteNewInodes(live);
    if (!pending_.empty()) {
        Scan();
    }
    Forget(live);
}

void CProcessTable::Assign(std::vector<CConnectionRecord>& records) {
    NoteNewInodes(records);
    if (!pending_.empty()) {
        Scan();
    }
    for (CConnectionRecord& record : records) {
        SetOwner(record);
    }
}

void CProcessTable::SetOwner(CConnectionRecord& record) {
    if (record.inode == 0) {
        return;  // no process holds it (TIME_WAIT): no owner either
    }
    if (const auto owner = owners_.find(record.inode); owner != owners_.end()) {
        record.pid = owner->second.pid;
        record.command = owner->second.command;
    }
    record.user = UserName(record.uid);
}

void CProcessTable::Learn(std::uint64_t inode, int pid, const std::string& command) {
    if (inode == 0 || pid == 0) {
        return;
    }
    owners_[inode] = Owner{pid, command};
    pending_.erase(inode);
}

template <typename Rows>
void CProcessTable::NoteNewInodes(const Rows& rows) {
    // An inode first seen in the middle of a pass may belong to a process already passed.
    const std::uint64_t lastPass = MidPass() ? pass_ + 1 : pass_;
    for (const auto& row : rows) {
        if (row.inode != 0 && !owners_.contains(row.inode)) {
            pending_.try_emplace(row.inode, lastPass);
        }
    }
}

void CProcessTable::Scan() {
    // A process left part way comes first: its pid is above resumeAfter_.
    const std::vector<int> pids = ListPids(root_, resumeAfter_);
    std::size_t linksLeft = linksPerFill_;
    std::size_t next = 0;
    for (; next < pids.size() && next < processesPerFill_ && !pending_.empty(); ++next) {
        if (!ReadProcess(pids[next], linksLeft)) {
            return;
        }
        resumeAfter_ = pids[next];
    }
    if (pending_.empty()) {
        // The next new inode starts a pass of its own.
        resumeAfter_ = 0;
        partialPid_ = 0;
        partialDir_.reset();
        return;
    }
    if (next == pids.size()) {
        EndPass();
    }
}

bool CProcessTable::ReadProcess(int pid, std::size_t& linksLeft) {
    ++processesRead_;
    const std::filesystem::path processDir = root_ / std::to_string(pid);
    DirPtr fds =
        pid == partialPid_ && partialDir_ ? std::move(partialDir_) : OpenDir(processDir / "fd");
    partialPid_ = 0;
    partialDir_.reset();
    if (!fds) {
        return true;  // gone, or another user's
    }
    std::string command;
    while (!pending_.empty()) {
        if (linksLeft == 0) {
            partialPid_ = pid;
            partialDir_ = std::move(fds);
            return false;
        }
        const dirent* entry = ::readdir(fds.get());
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        --linksLeft;
        ++linksRead_;
        char link[64];
        const ssize_t length = ::readlinkat(::dirfd(fds.get()), entry->d_name, link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) {
            continue;
        }
        const std::uint64_t inode =
            SocketInode(std::string_view(link, static_cast<std::size_t>(length)));
        const auto wanted = pending_.find(inode);
        if (inode == 0 || wanted == pending_.end()) {
            continue;
        }
        if (command.empty()) {
            command = ReadCommand(processDir);
        }
        owners_[inode] = Owner{pid, command};
        pending_.erase(wanted);
    }
    return true;
}

void CProcessTable::EndPass() {
    resumeAfter_ = 0;
    partialPid_ = 0;
    partialDir_.reset();
    ++pass_;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second < pass_) {
            owners_.emplace(it->first, Owner{});  // looked for everywhere: stays unknown
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

const std::string& CProcessTable::UserName(std::uint32_t uid) {
    auto [entry, inserted] = users_.try_emplace(uid);
    if (inserted) {
        entry->second = UserNameOf(uid);
    }
    return entry->second;
}

template <typename Rows>
void CProcessTable::Forget(const Rows& live) {
    // Sockets come and go: drop what no row holds once the tables outgrow the rows.
    if (owners_.size() + pending_.size() <= 2 * live.size() + 64) {
        return;
    }
    std::unordered_map<std::uint64_t, Owner> owners;
    std::unordered_map<std::uint64_t, std::uint64_t> pending;
    for (const auto& record : live) {
        if (const auto owner = owners_.find(record.inode); owner != owners_.end()) {
            owners.insert(*owner);
        } else if (const auto wanted = pending_.find(record.inode); wanted != pending_.end()) {
            pending.insert(*wanted);
        }
    }
    owners_ = std::move(owners);
    pending_ = std::move(pending);
}

}  // namespace tarvik
