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

// Reads a whole regular file. Returns 0, or the error number with a reason in `failure` (ENOENT
// when it does not exist).
int ReadWholeFile(const std::filesystem::path& file, std::string& text, std::string& failure);

// Replaces `file` with `content` so that a reader (or the next start after a crash) sees either
// the old file or the whole new one, never a torn or empty file: a temporary file in the same
// folder, fsync, rename over the old one, fsync of the folder. Missing folders are created. On
// failure returns false with the reason in `error` and removes the temporary file; the old file
// is left as it was, except when only the final folder sync failed (the text says so). A
// symbolic link is kept: the file it points to is replaced.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string* error = nullptr, const AtomicWriteSeams* seams = nullptr);

}  // namespace tarvik
