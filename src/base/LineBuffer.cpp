#include "base/LineBuffer.h"

#include <unistd.h>

#include <cerrno>

namespace tarvik {

bool CLineBuffer::Fill(int fd) {
    char chunk[65536];
    ssize_t got = 0;
    do {
        got = ::read(fd, chunk, sizeof chunk);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    Append(chunk, static_cast<std::size_t>(got));
    return true;
}

CLineBuffer::Take CLineBuffer::Next(std::string& line, std::size_t limit) {
    const std::size_t end = buffer_.find('\n', scanned_);
    if (end == std::string::npos) {
        scanned_ = buffer_.size();
        return buffer_.size() - start_ > limit ? Take::TooLong : Take::None;
    }
    if (end - start_ > limit) {
        return Take::TooLong;
    }
    line.assign(buffer_, start_, end - start_);
    start_ = end + 1;
    scanned_ = start_;
    if (start_ > buffer_.size() / 2) {  // compacted now and then, not per line
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    return Take::Line;
}

}  // namespace tarvik
