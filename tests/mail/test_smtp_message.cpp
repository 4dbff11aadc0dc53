#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mail/SMTPMessage.h"

namespace tarvik {
namespace {

TEST(SmtpAddress, RegularFormUsesBracketsOnlyWithADisplayName) {
    EXPECT_EQ(CSMTPAddress("ops@example.org").RegularForm(), "ops@example.org");
    EXPECT_EQ(CSMTPAddress("Night Ops", "ops@example.org").RegularForm(),
              "Night Ops <ops@example.org>");
    EXPECT_EQ(CSMTPAddress().RegularForm(), "");
}

TEST(SmtpMessage, RecipientKindsOutOfRangeStoreNothing) {
    CSMTPMessage message;
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("a@x"), CSMTPMessage::kTo), 0);
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("b@x"), CSMTPMessage::kTo), 1);
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("c@x"), CSMTPMessage::kBcc), 0);
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("d@x"), 3), -1);
    EXPECT_EQ(message.AddRecipient(CSMTPAddress("e@x"), -1), -1);

    EXPECT_EQ(message.RecipientCount(CSMTPMessage::kTo), 2);
    EXPECT_EQ(message.RecipientCount(CSMTPMessage::kCc), 0);
    EXPECT_EQ(message.RecipientCount(CSMTPMessage::kBcc), 1);
    EXPECT_EQ(message.RecipientCount(3), 0);
    EXPECT_EQ(message.RecipientCount(-1), 0);

    EXPECT_EQ(message.Recipient(1, CSMTPMessage::kTo).address, "b@x");
    EXPECT_EQ(message.Recipient(0, CSMTPMessage::kBcc).address, "c@x");
    EXPECT_EQ(message.Recipient(2, CSMTPMessage::kTo).address, "");
    EXPECT_EQ(message.Recipient(-1, CSMTPMessage::kTo).address, "");
    EXPECT_EQ(message.Recipient(0, 7).address, "");
}

TEST(SmtpMessage, HeaderWithoutCcOrReplyTo) {
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    message.subject = "Scan alert";
    message.AddRecipient(CSMTPAddress("a@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("b@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("hidden@x"), CSMTPMessage::kBcc);
    message.replyTo = CSMTPAddress("Name Only", "");

    EXPECT_EQ(message.HeaderWithDate("Mon, 07 Dec 2026 09:01:25 +0100"),
              "From: tarvik@host\r\n"
              "To: a@x,b@x\r\n"
              "Subject: Scan alert\r\n"
              "Date: Mon, 07 Dec 2026 09:01:25 +0100\r\n"
              "X-Mailer: Tarvik/" TARVIK_VERSION
              "\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-type: text/plain; charset=US-ASCII\r\n"
              "\r\n");
}

TEST(SmtpMessage, HeaderWithCcAndReplyTo) {
    CSMTPMessage message;
    message.from = CSMTPAddress("Tarvik", "tarvik@host");
    message.subject = "S";
    message.mailer = "M";
    message.AddRecipient(CSMTPAddress("A", "a@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("c@x"), CSMTPMessage::kCc);
    message.AddRecipient(CSMTPAddress("D", "d@x"), CSMTPMessage::kCc);
    message.replyTo = CSMTPAddress("back@x");

    EXPECT_EQ(message.HeaderWithDate("DATE"),
              "From: Tarvik <tarvik@host>\r\n"
              "To: A <a@x>\r\n"
              "Cc: c@x,D <d@x>\r\n"
              "Subject: S\r\n"
              "Date: DATE\r\n"
              "X-Mailer: M\r\n"
              "Reply-To: back@x\r\n"
              "MIME-Version: 1.0\r\n"
              "Content-type: text/plain; charset=US-ASCII\r\n"
              "\r\n");
}

TEST(SmtpMessage, EmptyToListLeavesTheLineBlank) {
    CSMTPMessage message;
    const std::string header = message.HeaderWithDate("D");
    EXPECT_EQ(header.substr(0, 16), "From: \r\nTo: \r\nSu");
}

TEST(SmtpMessage, SetBodyDoublesDotsAfterLineFeedsOnly) {
    CSMTPMessage message;
    message.SetBody(".first\n.\r\n..two\r\nplain.\n");
    EXPECT_EQ(message.Body(), ".first\n..\r\n...two\r\nplain.\n");
    message.SetBody("ends with\n.");
    EXPECT_EQ(message.Body(), "ends with\n..");
    message.SetBody("");
    EXPECT_EQ(message.Body(), "");
}

TEST(SmtpWireText, LineEndsBecomeCrLfAndEveryDotLineIsStuffedOnce) {
    // Stored body: the setter already doubled the dot after each LF.
    CSMTPMessage message;
    message.SetBody(".lead\nbare\n.\rlone\r.cr\r\nend");
    EXPECT_EQ(WireText(message.Body(), true), "..lead\r\nbare\r\n..\r\nlone\r\n..cr\r\nend");
    // Text that did not go through the setter gets every dot line stuffed.
    EXPECT_EQ(WireText("a\n.b\r\n.\r\n", false), "a\r\n..b\r\n..\r\n");
    EXPECT_EQ(WireText("\r\n\n\r", false), "\r\n\r\n\r\n");
    EXPECT_EQ(WireText("", true), "");
}

TEST(SmtpDate, ZoneOffsetKeepsSignAndAbsoluteMinutes) {
    EXPECT_EQ(FormatZoneOffset(3600), "+0100");
    EXPECT_EQ(FormatZoneOffset(-5 * 3600), "-0500");
    EXPECT_EQ(FormatZoneOffset(5 * 3600 + 1800), "+0530");
    EXPECT_EQ(FormatZoneOffset(-(9 * 3600 + 1800)), "-0930");
    EXPECT_EQ(FormatZoneOffset(0), "+0000");
    EXPECT_EQ(FormatZoneOffset(14 * 3600), "+1400");
    // Less than an hour west must stay west.
    EXPECT_EQ(FormatZoneOffset(-1800), "-0030");
    // Seconds of historical mean-time offsets are dropped.
    EXPECT_EQ(FormatZoneOffset(-(17 * 60 + 30)), "-0017");
}

TEST(SmtpDate, FormatsEnglishNamesAndTheOffsetOfTheTime) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 7;
    local.tm_wday = 1;
    local.tm_hour = 9;
    local.tm_min = 1;
    local.tm_sec = 25;
    local.tm_gmtoff = 3600;
    EXPECT_EQ(FormatDateText(local), "Mon, 07 Dec 2026 09:01:25 +0100");

    local.tm_wday = 99;  // never read outside the name table
    local.tm_mon = -1;
    EXPECT_EQ(FormatDateText(local), "???, 07 ??? 2026 09:01:25 +0100");
}

TEST(SmtpDate, DateTextUsesTheLocalZone) {
    ::setenv("TZ", "XST+5:30", 1);  // 5 h 30 min west of UTC
    ::tzset();
    EXPECT_EQ(DateText(1796634085), "Mon, 07 Dec 2026 03:31:25 -0530");
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(DateText(1796634085), "Mon, 07 Dec 2026 09:01:25 +0000");
}

}  // namespace
}  // namespace tarvik
