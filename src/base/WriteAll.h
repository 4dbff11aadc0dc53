#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string_view>

namespace tarvik {

// Writes bytes to a descriptor as write(2) does. A seam: tests put a full disk behind it.
using WriteFunction = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

// Writes all of `text` to a file, going on after short writes and EINTR. Returns 0, or the
// error number of the write that failed (ENOSPC when a write takes nothing: a file that takes
// no byte is full). `write` stands in for write(2) when set.
int WriteAll(int fd, std::string_view text, const WriteFunction& write = {});

}  // namespace tarvik
