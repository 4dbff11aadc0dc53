#pragma once

#include <cstddef>
#include <string_view>

namespace tarvik {

// Where the bytes received so far stand against the reply grammar: lines of a three-digit code,
// then "-" and text for every line but the last, then " " and text (or nothing) on the last line,
// each line ending in CR LF, all lines with the same code.
enum class SmtpReplyState { Incomplete, Complete, Malformed };

struct SmtpReplyParse {
    SmtpReplyState state = SmtpReplyState::Incomplete;
    int code = 0;              // when Complete
    std::size_t consumed = 0;  // when Complete: the reply's bytes, up to its last CR LF
};

// Pure: reads no more than the first reply in `bytes`, and says Malformed as soon as a line
// cannot belong to a reply, even before it ends. Bytes after the reply are not looked at.
SmtpReplyParse ParseSmtpReply(std::string_view bytes);

}  // namespace tarvik
