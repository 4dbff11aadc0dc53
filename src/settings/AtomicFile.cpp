#include "settings/AtomicFile.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

namespace tarvik {
namespace {

bool Fail(std::string* error, std::string what, int code) {
    if (error != nullptr) {
        *error = std::move(what) + ": " + std::strerror(code);
    }
    return false;
}

bool WriteAll(int fd, std::string_view content, const AtomicWriteSeams* seams) {
    while (!content.empty()) {
        ssize_t written = (seams != nullptr && seams->write)
                              ? seams->write(fd, content.data(), content.size())
                              : ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Removes the temporary file unless the rename consumed it.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& Path() const { return path_; }
    void Keep() { path_.clear(); }

private:
    std::string path_;
};

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
                         std::string* error, const AtomicWriteSeams* seams) {
    // Replace what a symbolic link points to, not the link: users keep settings in linked
    // dotfile folders.
    std::error_code linkError;
    const std::filesystem::path real = std::filesystem::is_symlink(file, linkError)
                                           ? std::filesystem::weakly_canonical(file, linkError)
                                           : file;
    const std::string target = (linkError ? file : real).string();
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        return Fail(error, "not replacing " + target + ": not a regular file", EINVAL);
    }
    std::filesystem::path folder = std::filesystem::path(target).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        return Fail(error, "cannot create folder " + folder.string(), ec.value());
    }

    std::vector<char> name(target.begin(), target.end());
    const std::string suffix = ".tmp-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.Get() < 0) {
        return Fail(error, "cannot create a temporary file next to " + target, errno);
    }
    TemporaryFile temporary(name.data());

    // Keep the old file's permissions (a user may have made it private); new files get 0600
    // from mkostemp, which suits a per-user settings file.
    if (exists) {
        ::fchmod(fd.Get(), existing.st_mode & 07777);
    }

    if (!WriteAll(fd.Get(), content, seams)) {
        return Fail(error, "cannot write " + temporary.Path(), errno);
    }
    if (::fsync(fd.Get()) != 0) {
        return Fail(error, "cannot sync " + temporary.Path(), errno);
    }
    if (!fd.Close()) {
        return Fail(error, "cannot close " + temporary.Path(), errno);
    }
    if (seams != nullptr && seams->beforeRename && !seams->beforeRename()) {
        return Fail(error, "write of " + target + " interrupted", ECANCELED);
    }
    if (::rename(temporary.Path().c_str(), target.c_str()) != 0) {
        return Fail(error, "cannot replace " + target, errno);
    }
    temporary.Keep();

    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0 || ::fsync(dir.Get()) != 0) {
        // The new file is in place; only its durability across a power cut is in doubt.
        return Fail(error, "replaced " + target + " but cannot sync its folder", errno);
    }
    return true;
}

}  // namespace tarvik
