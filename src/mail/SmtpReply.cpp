#include "mail/SmtpReply.h"

namespace tarvik {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kCodeLength = 3;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// What may be told of one line from its first four bytes, complete or not.
enum class LineStart { TooShort, Bad, Continued, Last };

LineStart ReadLineStart(std::string_view line, bool lineEnded) {
    for (std::size_t i = 0; i < kCodeLength; ++i) {
        if (i >= line.size()) {
            return lineEnded ? LineStart::Bad : LineStart::TooShort;
        }
        if (!IsDigit(line[i])) {
            return LineStart::Bad;
        }
    }
    if (line.size() == kCodeLength) {
        // A bare code is a last line once its line end has come.
        return lineEnded ? LineStart::Last : LineStart::TooShort;
    }
    switch (line[kCodeLength]) {
        case '\r':
            // The line end of a bare code, split before its LF.
            return !lineEnded && line.size() == kCodeLength + 1 ? LineStart::TooShort
                                                                : LineStart::Bad;
        case '-':
            return LineStart::Continued;
        case ' ':
            return LineStart::Last;
        default:
            return LineStart::Bad;
    }
}

int CodeOf(std::string_view line) {
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

SmtpReplyParse ParseSmtpReply(std::string_view bytes) {
    const SmtpReplyParse malformed{SmtpReplyState::Malformed, 0, 0};
    int code = -1;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = bytes.find(kLineEnd, begin);
        const bool lineEnded = end != std::string_view::npos;
        const std::string_view line =
            bytes.substr(begin, lineEnded ? end - begin : std::string_view::npos);
        const LineStart start = ReadLineStart(line, lineEnded);
        if (start == LineStart::Bad) {
            return malformed;
        }
        // The line is not bad, so its first three bytes, once there, are digits.
        if (line.size() >= kCodeLength) {
            const int lineCode = CodeOf(line);
            if (code >= 0 && lineCode != code) {
                return malformed;
            }
            code = lineCode;
        }
        if (start == LineStart::TooShort || !lineEnded) {
            return {};
        }
        begin = end + kLineEnd.size();
        if (start == LineStart::Last) {
            return {SmtpReplyState::Complete, code, begin};
        }
    }
}

}  // namespace tarvik
