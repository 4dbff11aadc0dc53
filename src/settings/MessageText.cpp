#include "settings/MessageText.h"

namespace tarvik {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none.
std::size_t Utf8Length(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    // U+0080..U+009F are the C1 controls (CSI among them).
    if (lead == 0xc2 && byte(1) <= 0x9f) {
        return 0;
    }
    return length;
}

}  // namespace

std::string EscapeForMessage(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text.front());
        std::size_t take = 1;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            AppendHex(out, byte);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if (std::size_t length = Utf8Length(text); length > 0) {
            out.append(text.substr(0, length));
            take = length;
        } else {
            AppendHex(out, byte);
        }
        text.remove_prefix(take);
    }
    return out;
}

}  // namespace tarvik
