#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "base/UniqueFd.h"

namespace tarvik {

// An advisory lock (flock) held for the life of the process. The kernel releases it when the
// process dies, so a crash never blocks the next start.
class CInstanceLock {
public:
    // Takes the lock on `path` (created when missing) without waiting. Returns std::nullopt with
    // a reason in `error` when another process holds it or the file cannot be opened.
    static std::optional<CInstanceLock> Acquire(const std::filesystem::path& path,
                                                std::string* error = nullptr);

    // The lock of one settings file, taken by both programs, so that one file never has two
    // monitors (each would log every connection twice). It lives in the runtime folder, not
    // beside the settings, whose folder may be read-only. The holder's pid is written into it
    // and named when another start is refused.
    static std::optional<CInstanceLock> AcquireForSettings(const std::filesystem::path& settings,
                                                           std::string* error = nullptr);
    // The same in a given lock folder (tests).
    static std::optional<CInstanceLock> AcquireForSettings(const std::filesystem::path& settings,
                                                           const std::filesystem::path& folder,
                                                           std::string* error = nullptr);

    CInstanceLock(CInstanceLock&&) noexcept = default;
    CInstanceLock& operator=(CInstanceLock&&) noexcept = default;
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;
    ~CInstanceLock() = default;

private:
    explicit CInstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// Where the settings locks live, the first that works: $XDG_RUNTIME_DIR/tarvik; /run/tarvik
// when this process may create it (root) or it is already this user's (the service's runtime
// folder); "tarvik" in the user's state folder ($XDG_STATE_HOME, else ~/.local/state); last,
// for an account without a usable home, /tmp/tarvik-<uid>. Each must be a folder of this user
// that nobody else can write (created 0700). The shared /tmp comes last because anyone can take
// a name there first: a folder another user planted must not keep the monitor from starting
// while the user has a folder of their own. Returns std::nullopt with the reason in `error`.
struct LockFolderPlaces {
    std::string runtimeDir;                    // $XDG_RUNTIME_DIR; empty: unset
    std::filesystem::path systemRun = "/run";  // its "tarvik" folder
    std::filesystem::path stateHome;           // the user's state folder; empty: none
    std::filesystem::path temporary = "/tmp";  // its "tarvik-<uid>" folder, the last resort
};
LockFolderPlaces LockFolderPlacesFromEnvironment();
std::optional<std::filesystem::path> ChooseLockFolder(const LockFolderPlaces& places,
                                                      std::string* error = nullptr);

// The lock file's name for a settings file: a hash of its absolute path with every symbolic
// link resolved, so two names of one file share a lock. The path, not the inode, because
// every save replaces the file (and its inode), and a file not yet created has none.
std::string SettingsLockName(const std::filesystem::path& settings);

}  // namespace tarvik
