#include "logging/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace tarvik {

namespace {

constexpr mode_t kLogFileMode = 0644;
constexpr mode_t kLogFolderMode = 0755;
// Read and write so that the last byte can be checked for a torn line; non-blocking so that a
// FIFO at the name never stalls the logger; never through a link at the name.
constexpr int kOpenFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

void SetError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

UniqueFd OpenFolder(const std::string& folder) {
    const char* path = folder.empty() ? "/" : folder.c_str();
    UniqueFd dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() && errno == ENOENT) {
        // Only the last component, as at start-up before: a missing parent is the user's to fix.
        if (::mkdir(path, kLogFolderMode) == 0 || errno == EEXIST) {
            dir.Reset(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
    }
    return dir;
}

// Why an existing name could not be opened: its kind when that is the cause, else the errno.
std::string DescribeOpenFailure(int dirFd, const std::string& name, int error) {
    struct stat status {};
    if (::fstatat(dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) {
            return "is a symbolic link";
        }
        if (!S_ISREG(status.st_mode)) {
            return "is not a regular file";
        }
    }
    return ErrnoText(error);
}

// Empty when the opened file is one we may write to.
std::string RefusalOf(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) {
        return "is not a regular file";
    }
    if (status.st_uid != ::geteuid()) {
        return "owned by uid " + std::to_string(status.st_uid);
    }
    if (status.st_nlink != 1) {
        return "has " + std::to_string(status.st_nlink) + " links";
    }
    return {};
}

bool EndsInLineEnd(int fd, off_t size) {
    char last = '\n';
    return size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}

}  // namespace

CLogFile::CLogFile(LogWriter writer) : writer_(std::move(writer)) {}

void CLogFile::Close() {
    fd_.Reset();
    folder_.clear();
    needsLineEnd_ = false;
}

bool CLogFile::Open(const std::string& folder, const std::string& name, std::string& reason) {
    Close();
    const UniqueFd dir = OpenFolder(folder);
    struct stat folderStatus {};
    if (!dir.Valid() || ::fstat(dir.Get(), &folderStatus) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    UniqueFd file(::openat(dir.Get(), name.c_str(), kOpenFlags | O_CREAT | O_EXCL, kLogFileMode));
    if (!file.Valid() && errno == EEXIST) {
        file.Reset(::openat(dir.Get(), name.c_str(), kOpenFlags));
    }
    if (!file.Valid()) {
        reason = DescribeOpenFailure(dir.Get(), name, errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    reason = RefusalOf(status);
    if (!reason.empty()) {
        return false;
    }
    fd_ = std::move(file);
    folder_ = folder.empty() ? "/" : folder;
    folderDevice_ = folderStatus.st_dev;
    folderInode_ = folderStatus.st_ino;
    needsLineEnd_ = !EndsInLineEnd(fd_.Get(), status.st_size);
    return true;
}

bool CLogFile::IsEmpty() const {
    struct stat status {};
    return fd_.Valid() && ::fstat(fd_.Get(), &status) == 0 && status.st_size == 0;
}

bool CLogFile::Gone() const {
    if (!fd_.Valid()) {
        return false;
    }
    struct stat file {};
    if (::fstat(fd_.Get(), &file) != 0 || file.st_nlink == 0) {
        return true;
    }
    struct stat folder {};
    return ::stat(folder_.c_str(), &folder) != 0 || folder.st_dev != folderDevice_ ||
           folder.st_ino != folderInode_;
}

bool CLogFile::WriteLine(std::string_view line, int* error) {
    text_.clear();
    text_.append(line);
    text_ += '\n';
    return WriteLines(text_, error);
}

bool CLogFile::WriteLines(std::string_view lines, int* error) {
    if (!fd_.Valid()) {
        SetError(error, EBADF);
        return false;
    }
    struct stat before {};
    if (::fstat(fd_.Get(), &before) != 0) {
        SetError(error, errno);
        return false;
    }
    std::string_view bytes = lines;
    if (needsLineEnd_) {
        // Rare (a torn line found at open): one copy so that the bytes still go in one write.
        torn_.assign(1, '\n');
        torn_.append(lines);
        bytes = torn_;
    }
    const int failure = WriteAll(fd_.Get(), bytes, writer_);
    torn_.clear();
    if (failure == 0) {
        needsLineEnd_ = false;
        return true;
    }
    // Cut back what reached the file, so that the next line does not continue a torn one.
    if (::ftruncate(fd_.Get(), before.st_size) != 0) {
        needsLineEnd_ = true;
    }
    SetError(error, failure);
    return false;
}

}  // namespace tarvik
