#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tarvik {

// Points where tests can make an atomic write fail, as a full disk or a crash would.
struct AtomicWriteSeams {
    // Stands in for write(2).
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    // Called after the temporary file is complete and synced; false stops before the rename.
    std::function<bool()> beforeRename;
};

// Settings files are a few kilobytes; anything far larger is a mistake or an attack, and would
// cost memory and time in proportion.
constexpr std::size_t kMaxReadFileSize = std::size_t{1} << 20;

// Reads a whole regular file of at most `maxSize` bytes. Returns 0, or the error number with a
// reason in `failure`: ENOENT when it does not exist, EINVAL when it is not a regular file (a
// FIFO or device is refused without blocking), EFBIG when it is larger than `maxSize`.
int ReadWholeFile(const std::filesystem::path& file, std::string& text, std::string& failure,
                  std::size_t maxSize = kMaxReadFileSize);

// Replaces `file` with `content` so that a reader (or the next start after a crash) sees either
// the old file or the whole new one, never a torn or empty file: a temporary file in the same
// folder, fsync, rename over the old one, fsync of the folder. Missing folders are created. On
// failure returns false with the reason in `error` and removes the temporary file; the old file
// is left as it was, except when only the final folder sync failed (the text says so). A
// symbolic link is kept: the file it points to is replaced. Only a regular file is replaced:
// for anything else (a device, a FIFO, a folder) nothing is written, not even a temporary file.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string* error = nullptr, const AtomicWriteSeams* seams = nullptr);

}  // namespace tarvik
