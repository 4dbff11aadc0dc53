#include "base/AtomicFile.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

namespace tarvik {
namespace {

bool Fail(std::string* error, std::string what, int code) {
    if (error != nullptr) {
        *error = std::move(what) + ": " + std::strerror(code);
    }
    return false;
}

// 16 hex digits nobody can tell ahead.
std::string RandomPart() {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        // No kernel generator yet (early boot): unique still, and O_EXCL keeps it safe.
        static std::atomic<std::uint64_t> serial{0};
        value = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                static_cast<std::uint64_t>(
                    std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (++serial * 0x9E3779B97F4A7C15ull);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// A new regular file in `dir` named ".<base>.<random>.tmp". Created, never opened: a name
// someone made first (a file, a link, a FIFO) is skipped, so nothing they planted is written
// to or waited on. Invalid with errno set when no name could be made.
UniqueFd CreateTemporary(int dir, std::string base, mode_t mode, std::string& name) {
    constexpr std::size_t kMaxBase = 200;  // room for the rest within NAME_MAX
    base.resize(std::min(base.size(), kMaxBase));
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 16; ++attempt) {
        name = "." + base + "." + RandomPart() + ".tmp";
        UniqueFd fd(::openat(dir, name.c_str(), kFlags, mode));
        if (fd) {
            // O_NONBLOCK only guarded the open; O_EXCL made this a regular file of our own.
            const int flags = ::fcntl(fd.Get(), F_GETFL);
            if (flags >= 0) {
                ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
            }
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return UniqueFd();
}

// Removes the temporary file unless the rename consumed it.
class TemporaryFile {
public:
    TemporaryFile(int dir, std::string name) : dir_(dir), name_(std::move(name)) {}
    ~TemporaryFile() {
        if (!name_.empty()) {
            ::unlinkat(dir_, name_.c_str(), 0);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& Name() const { return name_; }
    void Keep() { name_.clear(); }

private:
    int dir_;
    std::string name_;
};

// Where a write to `file` goes: `file`, or the end of the chain of links at it when every link
// in the chain belongs to this user or to root. Nothing, with the reason in `error`, otherwise.
std::optional<std::filesystem::path> ResolveTarget(const std::filesystem::path& file,
                                                   std::string* error) {
    constexpr int kMaxLinks = 40;  // as the kernel allows
    std::filesystem::path current = file;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            return current;
        }
        if (link.st_uid != ::geteuid() && link.st_uid != 0) {
            if (error != nullptr) {
                *error = "not replacing " + file.string() + ": " + current.string() +
                         " is a link of uid " + std::to_string(link.st_uid);
            }
            return std::nullopt;
        }
        std::error_code ec;
        const std::filesystem::path next = std::filesystem::read_symlink(current, ec);
        if (ec) {
            Fail(error, "cannot read the link " + current.string(), ec.value());
            return std::nullopt;
        }
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    Fail(error, "cannot follow " + file.string(), ELOOP);
    return std::nullopt;
}

}  // namespace

int ReadWholeFile(const std::filesystem::path& file, std::string& text, std::string& failure,
                  std::size_t maxSize) {
    text.clear();
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer forever.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        int code = errno;
        failure = (code == ENOENT ? "no file " : "cannot open ") + file.string() +
                  (code == ENOENT ? "" : std::string(": ") + std::strerror(code));
        return code;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        int code = errno;
        failure = "cannot read " + file.string() + ": " + std::strerror(code);
        return code;
    }
    if (!S_ISREG(info.st_mode)) {
        failure = file.string() + " is not a regular file";
        return EINVAL;
    }
    auto tooLarge = [&] {
        failure = file.string() + " is larger than " + std::to_string(maxSize) + " bytes";
        return EFBIG;
    };
    if (static_cast<std::uintmax_t>(info.st_size) > maxSize) {
        return tooLarge();
    }
    // The size can change while we read; never take more than the limit allows.
    char buffer[8192];
    while (true) {
        ssize_t got = ::read(fd.Get(), buffer, sizeof(buffer));
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
            if (text.size() > maxSize) {
                text.clear();
                return tooLarge();
            }
        } else if (got == 0) {
            return 0;
        } else if (errno != EINTR) {
            int code = errno;
            text.clear();
            failure = "cannot read " + file.string() + ": " + std::strerror(code);
            return code;
        }
    }
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string* error, const AtomicWriteOptions& options) {
    const std::optional<std::filesystem::path> resolved = ResolveTarget(file, error);
    if (!resolved) {
        return false;
    }
    const std::string target = resolved->string();
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        return Fail(error, "not replacing " + target + ": not a regular file", EINVAL);
    }
    std::filesystem::path folder = resolved->parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    if (options.createFolders) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            return Fail(error, "cannot create folder " + folder.string(), ec.value());
        }
    }
    // Every step relative to the folder opened once, so a folder swapped meanwhile cannot
    // split the temporary file from its rename.
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return Fail(error, "cannot open folder " + folder.string(), errno);
    }
    const std::string name = resolved->filename().string();
    std::string temporaryName;
    UniqueFd fd = CreateTemporary(dir.Get(), name, options.newFileMode, temporaryName);
    if (!fd) {
        return Fail(error, "cannot create a temporary file next to " + target, errno);
    }
    TemporaryFile temporary(dir.Get(), temporaryName);
    const std::string shown = (folder / temporaryName).string();

    // Keep the old file's permissions: a user may have made it private, or readable to a
    // collector.
    if (exists) {
        ::fchmod(fd.Get(), existing.st_mode & 07777);
    }
    const AtomicWriteSeams* seams = options.seams;
    if (const int code = WriteAll(fd.Get(), content, seams ? seams->write : WriteFunction());
        code != 0) {
        return Fail(error, "cannot write " + shown, code);
    }
    if (::fsync(fd.Get()) != 0) {
        return Fail(error, "cannot sync " + shown, errno);
    }
    if (!fd.Close()) {
        return Fail(error, "cannot close " + shown, errno);
    }
    if (seams != nullptr && seams->beforeRename && !seams->beforeRename()) {
        return Fail(error, "write of " + target + " interrupted", ECANCELED);
    }
    if (::renameat(dir.Get(), temporary.Name().c_str(), dir.Get(), name.c_str()) != 0) {
        return Fail(error, "cannot replace " + target, errno);
    }
    temporary.Keep();
    if (::fsync(dir.Get()) != 0) {
        // The new file is in place; only its durability across a power cut is in doubt.
        return Fail(error, "replaced " + target + " but cannot sync its folder", errno);
    }
    return true;
}

}  // namespace tarvik
