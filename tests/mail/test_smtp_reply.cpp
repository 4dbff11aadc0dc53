#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "mail/SmtpReply.h"

namespace tarvik {
namespace {

using State = SmtpReplyState;

struct ReplyCase {
    std::string_view bytes;
    State state;
    int code;
    std::size_t consumed;
};

TEST(SmtpReply, CompleteRepliesEndAtTheLineWithASpaceAfterTheCode) {
    const ReplyCase cases[] = {
        {"220 ready\r\n", State::Complete, 220, 11},
        {"250\r\n", State::Complete, 250, 5},  // a code alone is a last line
        {"250 \r\n", State::Complete, 250, 6},
        {"220-mx.example.org\r\n220-no spam\r\n220 ready\r\n", State::Complete, 220, 44},
        {"250-a\r\n250\r\n", State::Complete, 250, 12},
        // Bytes after the reply are left for the next one.
        {"250 ok\r\n354 go\r\n", State::Complete, 250, 8},
        {"250-a\r\n250 b\r\n221 bye", State::Complete, 250, 14},
        // Text may hold anything but CR LF, a lone CR or LF included.
        {"550 no\rsuch\nuser\r\n", State::Complete, 550, 18},
    };
    for (const ReplyCase& c : cases) {
        const SmtpReplyParse parse = ParseSmtpReply(c.bytes);
        EXPECT_EQ(parse.state, c.state) << c.bytes;
        EXPECT_EQ(parse.code, c.code) << c.bytes;
        EXPECT_EQ(parse.consumed, c.consumed) << c.bytes;
    }
}

TEST(SmtpReply, UnfinishedRepliesWaitForMore) {
    for (std::string_view bytes :
         {"", "2", "25", "250", "250-", "250 ok", "250 ok\r", "250-first\r\n", "250-first\r\n250",
          "250-first\r\n250 last", "250-a\r\n250-b\r\n",
          // A bare code whose CR arrived without its LF yet.
          "250\r", "250-a\r\n250\r"}) {
        EXPECT_EQ(ParseSmtpReply(bytes).state, State::Incomplete) << bytes;
    }
}

TEST(SmtpReply, BytesThatCannotBeAReplyAreMalformedAtOnce) {
    for (std::string_view bytes : {
             "2x0 ok\r\n", "hello\r\n",
             "25\r\n",                      // a line too short for a code
             "\r\n",                        // an empty line
             "250+ok\r\n",                  // neither space nor dash after the code
             "250-first\r\n251 other\r\n",  // a continuation with another code
             "250-first\r\n251",            // ... seen before its line ends
             "250-first\r\nxyz\r\n", "250-first\r\n\r\n", "2500 ok\r\n",
             "250\rx",  // a CR after a bare code that is no line end
         }) {
        EXPECT_EQ(ParseSmtpReply(bytes).state, State::Malformed) << bytes;
    }
}

TEST(SmtpReply, ByteByByteGivesTheSameAnswerAsAllAtOnce) {
    const std::string reply = "250-mx.example.org\r\n250-SIZE 1000\r\n250 HELP\r\n";
    for (std::size_t length = 0; length < reply.size(); ++length) {
        EXPECT_EQ(ParseSmtpReply(std::string_view(reply).substr(0, length)).state,
                  State::Incomplete)
            << length;
    }
    const SmtpReplyParse whole = ParseSmtpReply(reply);
    EXPECT_EQ(whole.state, State::Complete);
    EXPECT_EQ(whole.consumed, reply.size());
}

}  // namespace
}  // namespace tarvik
