#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/WriteAll.h"

namespace tarvik {

// Points where tests can make an atomic write fail, as a full disk or a crash would.
struct AtomicWriteSeams {
    // Stands in for write(2).
    WriteFunction write;
    // Called after the temporary file is complete and synced; false stops before the rename.
    std::function<bool()> beforeRename;
};

struct AtomicWriteOptions {
    // Permissions of a file that does not exist yet (less the umask); an existing file keeps
    // its own.
    mode_t newFileMode = 0600;
    // Create missing folders on the way to the file; otherwise a missing folder is a failure.
    bool createFolders = true;
    const AtomicWriteSeams* seams = nullptr;
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
// folder, fsync, rename over the old one, fsync of the folder. On failure returns false with
// the reason in `error` and removes the temporary file; the old file is left as it was, except
// when only the final folder sync failed (the text says so).
//
// The folder may be one others can write (a metrics folder, /tmp), so the temporary file has a
// hidden name with a random part that nobody can plant ahead (".Tarvik.conf.<random>.tmp"),
// and it is created new: never through a link, never an existing file, never a FIFO to wait on.
// A symbolic link at `file` is kept and the file it points to replaced (users keep settings in
// linked dotfile folders), but only a link of this user or of root: another user's link could
// aim the write at any file. Only a regular file is replaced: for anything else (a device, a
// FIFO, a folder) nothing is written, not even a temporary file.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string* error = nullptr, const AtomicWriteOptions& options = {});

}  // namespace tarvik
