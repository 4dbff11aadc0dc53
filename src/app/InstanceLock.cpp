#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik {

namespace {

std::string ErrnoText(int code) {
    return std::strerror(code);
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// A folder of ours that nobody else can write: created 0700 when missing, never a link.
bool EnsurePrivateFolder(const std::filesystem::path& folder, std::string* error) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        SetError(error, "cannot create " + folder.string() + ": " + ErrnoText(errno));
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        SetError(error, "cannot read " + folder.string() + ": " + ErrnoText(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
        SetError(error, folder.string() +
                            " is not a private folder of this user; not using it for the lock");
        return false;
    }
    return true;
}

// The value of an environment variable when it is an absolute path; empty otherwise (a
// relative one would depend on the working directory).
std::string AbsoluteEnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// Makes the missing folders of `folder`, each 0700 as the state folders are meant to be.
void MakePrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        ::mkdir(made.c_str(), 0700);  // an existing one is fine; the last check decides
    }
}

// The pid written by the holder of the lock, when it can be read.
std::string HolderPid(int fd) {
    char text[32] = {};
    const ssize_t count = ::pread(fd, text, sizeof text - 1, 0);
    if (count <= 0) {
        return {};
    }
    std::string pid(text, static_cast<std::size_t>(count));
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
        pid.pop_back();
    }
    return pid.find_first_not_of("0123456789") == std::string::npos ? pid : std::string();
}

void WritePid(int fd) {
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    }
}

}  // namespace

std::optional<CInstanceLock> CInstanceLock::Acquire(const std::filesystem::path& path,
                                                    std::string* error) {
    std::error_code ignored;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        SetError(error, "cannot open lock file " + path.string() + ": " + ErrnoText(errno));
        return std::nullopt;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        SetError(error, reason == EWOULDBLOCK
                            ? "another instance is running (lock held on " + path.string() + ")"
                            : "cannot lock " + path.string() + ": " + ErrnoText(reason));
        return std::nullopt;
    }
    return CInstanceLock(std::move(fd));
}

std::optional<CInstanceLock> CInstanceLock::AcquireForSettings(
    const std::filesystem::path& settings, std::string* error) {
    const auto folder = ChooseLockFolder(LockFolderPlacesFromEnvironment(), error);
    if (!folder) {
        return std::nullopt;
    }
    return AcquireForSettings(settings, *folder, error);
}

std::optional<CInstanceLock> CInstanceLock::AcquireForSettings(
    const std::filesystem::path& settings, const std::filesystem::path& folder,
    std::string* error) {
    const std::filesystem::path path = folder / SettingsLockName(settings);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        SetError(error, "cannot open lock file " + path.string() + ": " + ErrnoText(errno));
        return std::nullopt;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        if (reason != EWOULDBLOCK) {
            SetError(error, "cannot lock " + path.string() + ": " + ErrnoText(reason));
            return std::nullopt;
        }
        const std::string pid = HolderPid(fd.Get());
        SetError(error, "another Tarvik monitor uses " + settings.string() +
                            (pid.empty() ? std::string() : " (pid " + pid + ")"));
        return std::nullopt;
    }
    WritePid(fd.Get());
    return CInstanceLock(std::move(fd));
}

LockFolderPlaces LockFolderPlacesFromEnvironment() {
    LockFolderPlaces places;
    std::error_code ignored;
    places.runtimeDir = AbsoluteEnvironmentPath("XDG_RUNTIME_DIR");
    if (const std::string state = AbsoluteEnvironmentPath("XDG_STATE_HOME"); !state.empty()) {
        places.stateHome = state;
    } else if (const std::string home = AbsoluteEnvironmentPath("HOME");
               !home.empty() && home != "/" && std::filesystem::is_directory(home, ignored)) {
        places.stateHome = std::filesystem::path(home) / ".local" / "state";
    }
    return places;
}

std::optional<std::filesystem::path> ChooseLockFolder(const LockFolderPlaces& places,
                                                      std::string* error) {
    struct Candidate {
        std::filesystem::path folder;
        bool makeParents = false;  // only the user's state folder may still be missing
    };
    std::vector<Candidate> candidates;
    if (!places.runtimeDir.empty()) {
        candidates.push_back({std::filesystem::path(places.runtimeDir) / "tarvik"});
    }
    candidates.push_back({places.systemRun / "tarvik"});
    if (!places.stateHome.empty()) {
        candidates.push_back({places.stateHome / "tarvik", true});
    }
    candidates.push_back({places.temporary / ("tarvik-" + std::to_string(::geteuid()))});
    for (const Candidate& candidate : candidates) {
        if (candidate.makeParents) {
            MakePrivateFolders(candidate.folder.parent_path());
        }
        if (EnsurePrivateFolder(candidate.folder, error)) {
            return candidate.folder;
        }
    }
    return std::nullopt;
}

std::string SettingsLockName(const std::filesystem::path& settings) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(settings, ec);
    if (ec) {
        absolute = settings;
    }
    // Resolves the links of every part that exists; the rest is kept as written.
    std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ec);
    if (ec) {
        canonical = absolute.lexically_normal();
    }
    char name[40];
    std::snprintf(name, sizeof name, "settings-%016llx.lock",
                  static_cast<unsigned long long>(Fnv1a(canonical.string())));
    return name;
}

}  // namespace tarvik
