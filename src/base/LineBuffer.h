#pragma once

#include <cstddef>
#include <string>

namespace tarvik {

// Whole lines out of bytes that come in chunks (a socket, a pipe), each at most a limit long,
// so that a peer that never sends a line end cannot grow the buffer without end.
class CLineBuffer {
public:
    enum class Take { Line, None, TooLong };

    void Append(const char* data, std::size_t size) { buffer_.append(data, size); }
    // Reads once from `fd` into the buffer, going on after EINTR; false at its end or an error.
    bool Fill(int fd);
    // The next whole line, without its '\n', into `line`. None while no line end has come;
    // TooLong once the line under way is past `limit` bytes.
    Take Next(std::string& line, std::size_t limit);

private:
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins
    std::size_t scanned_ = 0;  // no line end before this
};

}  // namespace tarvik
