#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// Outside text (file content, process and host names, paths) made safe for a terminal and for
// one line: control bytes, C1 controls and bytes that are not UTF-8 come out as \xNN, and a
// backslash as \\, so the text cannot send escape sequences to whoever reads it and nothing is
// lost or re-read in another character set. Every text output of the program shows outside
// text this way.
std::string EscapeForMessage(std::string_view text);

}  // namespace tarvik
