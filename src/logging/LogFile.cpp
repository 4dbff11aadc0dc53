#include "logging/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarvik {

namespace {

constexpr mode_t kLogFileMode = 0644;

void SetError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

}  // namespace

CLogFile::OpenResult CLogFile::Open(const std::string& path, int* error) {
    Close();
    // Creating exclusively first tells a new file from an existing one without a separate
    // existence check, and an existing file is then opened without O_TRUNC: a file that merely
    // could not be read is never emptied.
    fd_.Reset(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kLogFileMode));
    if (fd_.Valid()) {
        return OpenResult::Created;
    }
    if (errno != EEXIST) {
        SetError(error, errno);
        return OpenResult::CreateFailed;
    }
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (fd_.Valid()) {
        return OpenResult::Appending;
    }
    SetError(error, errno);
    return OpenResult::AppendFailed;
}

bool CLogFile::IsEmpty() const {
    struct stat status {};
    return fd_.Valid() && ::fstat(fd_.Get(), &status) == 0 && status.st_size == 0;
}

bool CLogFile::WriteLine(std::string_view line, int* error) {
    if (!fd_.Valid()) {
        SetError(error, EBADF);
        return false;
    }
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text += '\n';
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd_.Get(), rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetError(error, errno);
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace tarvik
