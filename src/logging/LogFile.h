#pragma once

#include <string>
#include <string_view>

#include "acquisition/UniqueFd.h"

namespace tarvik {

// One open log file, written with write(2) so that every line reaches the kernel before the
// next record is handled. Move-only; closes its descriptor when destroyed.
class CLogFile {
public:
    enum class OpenResult {
        Appending,     // an existing file, opened at its end
        Created,       // a new, empty file
        CreateFailed,  // no file, and it could not be created (missing folder, no rights...)
        AppendFailed,  // the file exists but could not be opened for writing
    };

    // Opens `path` for appending, creating it when it does not exist. An existing file is never
    // truncated. On failure the file stays closed and `error` holds errno.
    OpenResult Open(const std::string& path, int* error = nullptr);

    // True when the file holds no bytes (a created file, or an existing empty one).
    bool IsEmpty() const;

    // Writes `line` and a line end in one piece. False (with errno in `error`) when not all of
    // it could be written.
    bool WriteLine(std::string_view line, int* error = nullptr);

    bool IsOpen() const { return fd_.Valid(); }
    void Close() { fd_.Reset(); }

private:
    UniqueFd fd_;
};

}  // namespace tarvik
