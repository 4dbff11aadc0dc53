#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/UniqueFd.h"
#include "base/WriteAll.h"

namespace tarvik {

// Writes bytes to a descriptor as write(2) does (empty: write(2) itself). A seam: tests put a
// full disk behind it.
using LogWriter = WriteFunction;

// One open log file, written with write(2) and no buffer of its own: what a write returned
// true for is in the kernel. Move-only; closes its descriptor when destroyed.
//
// The daemon runs as root and log folders may be writable by others, so a file is opened
// relative to its folder without following a link at its name, without blocking on a FIFO,
// and only kept when it is a regular file of our own with one link.
class CLogFile {
public:
    explicit CLogFile(LogWriter writer = {});

    // Opens `folder`/`name` for appending, creating the file (and the folder's last component)
    // when missing. An existing file is never truncated. On failure the file stays closed and
    // `reason` says why ("is a symbolic link", "has 2 links", or the errno text).
    bool Open(const std::string& folder, const std::string& name, std::string& reason);

    // True when the file holds no bytes (a created file, or an existing empty one).
    bool IsEmpty() const;

    // True when the open file was removed, or its folder removed or replaced, since it was
    // opened: lines written now would reach no file anyone can find.
    bool Gone() const;

    // Writes `line` and a line end. All or nothing: after a failed or short write the file is
    // cut back to its size before, so no partial line is left. False with errno in `error`.
    bool WriteLine(std::string_view line, int* error = nullptr);
    // Writes `lines`, each already ending in a line end, with one write: all or nothing as
    // WriteLine.
    bool WriteLines(std::string_view lines, int* error = nullptr);

    bool IsOpen() const { return fd_.Valid(); }
    void Close();

private:
    LogWriter writer_;
    UniqueFd fd_;
    std::string folder_;
    dev_t folderDevice_ = 0;
    ino_t folderInode_ = 0;
    bool needsLineEnd_ = false;  // the file ends in a torn line: start on a fresh one
    std::string text_;           // one line and its end; its capacity is kept between lines
    std::string torn_;           // a line end and the lines, after a torn line
};

}  // namespace tarvik
