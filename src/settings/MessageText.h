#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// File content quoted in a message, made safe for a terminal: control bytes, C1 controls and
// bytes that are not UTF-8 come out as \xNN, and a backslash as \\, so a hostile file cannot
// send escape sequences to whoever reads the warnings.
std::string EscapeForMessage(std::string_view text);

}  // namespace tarvik
