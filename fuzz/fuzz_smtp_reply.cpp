// The SMTP reply reader on any bytes a server may send: it never reads past the reply it
// reports, a complete reply is whole lines ending in CR LF with one code, and feeding the same
// bytes in pieces never changes the verdict once the whole reply has arrived.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "mail/SmtpReply.h"

using tarvik::ParseSmtpReply;
using tarvik::SmtpReplyParse;
using tarvik::SmtpReplyState;

namespace {

void CheckComplete(std::string_view bytes, const SmtpReplyParse& reply) {
    FuzzRequire(reply.consumed >= 5 && reply.consumed <= bytes.size(),
                "a complete reply is at least a code and CR LF, within the bytes");
    const std::string_view text = bytes.substr(0, reply.consumed);
    FuzzRequire(text.substr(text.size() - 2) == "\r\n", "a complete reply ends in CR LF");
    FuzzRequire(reply.code >= 0 && reply.code <= 999, "a reply code has three digits");
    // The last line carries a space (or nothing) after the code.
    const std::size_t lastLine = text.rfind("\r\n", text.size() - 3);
    const std::size_t start = lastLine == std::string_view::npos ? 0 : lastLine + 2;
    FuzzRequire(text[start + 3] == ' ' || text[start + 3] == '\r',
                "the last line has no continuation mark");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const SmtpReplyParse whole = ParseSmtpReply(bytes);
    if (whole.state != SmtpReplyState::Complete) {
        return 0;
    }
    CheckComplete(bytes, whole);
    // The reader sees only the reply: the bytes behind it cannot change it.
    const SmtpReplyParse alone = ParseSmtpReply(bytes.substr(0, whole.consumed));
    FuzzRequire(alone.state == SmtpReplyState::Complete && alone.code == whole.code &&
                    alone.consumed == whole.consumed,
                "a reply reads the same without the bytes that follow it");
    // Any prefix cut inside the reply is still waiting for more, never a different verdict.
    for (std::size_t cut = 0; cut < whole.consumed; ++cut) {
        FuzzRequire(ParseSmtpReply(bytes.substr(0, cut)).state == SmtpReplyState::Incomplete,
                    "a prefix of a complete reply is incomplete");
    }
    return 0;
}
