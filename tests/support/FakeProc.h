#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tarvik::testing {

// A /proc-like tree in a temporary folder: <pid>/comm and <pid>/fd/<n> links to
// "socket:[inode]" (links need no target to be read).
class CFakeProc {
public:
    CFakeProc() {
        static int counter = 0;
        root_ = std::filesystem::temp_directory_path() /
                ("tarvik-proc-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~CFakeProc() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    CFakeProc(const CFakeProc&) = delete;
    CFakeProc& operator=(const CFakeProc&) = delete;

    void AddProcess(int pid, const std::string& command, const std::vector<std::uint64_t>& inodes) {
        const auto dir = root_ / std::to_string(pid);
        std::filesystem::create_directories(dir / "fd");
        std::ofstream(dir / "comm") << command << '\n';
        // A descriptor that is no socket, as every process has.
        std::filesystem::create_symlink("/dev/null", dir / "fd" / "0");
        int fd = 3;
        for (const std::uint64_t inode : inodes) {
            std::filesystem::create_symlink("socket:[" + std::to_string(inode) + "]",
                                            dir / "fd" / std::to_string(fd++));
        }
    }
    void RemoveProcess(int pid) { std::filesystem::remove_all(root_ / std::to_string(pid)); }

    const std::filesystem::path& Root() const { return root_; }

private:
    std::filesystem::path root_;
};

}  // namespace tarvik::testing
