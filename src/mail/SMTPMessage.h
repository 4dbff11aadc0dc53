#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// A mail address with an optional display name.
struct CSMTPAddress {
    std::string displayName;
    std::string address;

    CSMTPAddress();
    explicit CSMTPAddress(std::string address);
    CSMTPAddress(std::string displayName, std::string address);

    // "Name <address>" when there is a display name, the bare address otherwise.
    std::string RegularForm() const;
};

// "+0100", "-0930": the zone offset of a Date header from seconds east of UTC (tm_gmtoff).
// Seconds beyond whole minutes are dropped.
std::string FormatZoneOffset(long secondsEastOfUtc);

// "Mon, 07 Dec 2026 09:01:25 +0100" for a local time, English names whatever the locale.
std::string FormatDateText(const std::tm& localTime);

// The local date text of a calendar time.
std::string DateText(std::time_t when);

// The X-Mailer text of every message unless set otherwise.
inline constexpr const char* kDefaultMailer = "Tarvik/" TARVIK_VERSION;

// One single-part plain-text message. Sender, subject, mailer and reply-to are plain fields.
class CSMTPMessage {
public:
    enum RecipientKind { kTo = 0, kCc = 1, kBcc = 2 };

    CSMTPAddress from;
    std::string subject;
    std::string mailer = kDefaultMailer;
    CSMTPAddress replyTo;

    virtual ~CSMTPMessage() = default;

    // Appends to the list of that kind and gives the new index; -1 for an unknown kind.
    int AddRecipient(const CSMTPAddress& address, int kind);
    // 0 for an unknown kind.
    int RecipientCount(int kind) const;
    // A copy of the entry; an empty address for an unknown kind or an index out of range.
    CSMTPAddress Recipient(int index, int kind) const;

    // Stores the body with one more dot after every "\n." (the first line is left alone).
    void SetBody(std::string body);
    const std::string& Body() const { return body_; }

    // The header lines with the current date, ending with the empty line.
    virtual std::string Header() const;

    // The header with a given date text; Header() fills in the current one.
    std::string HeaderWithDate(std::string_view dateText) const;

private:
    const std::vector<CSMTPAddress>* List(int kind) const;
    std::vector<CSMTPAddress>* List(int kind);

    std::string body_;
    std::vector<CSMTPAddress> to_;
    std::vector<CSMTPAddress> cc_;
    std::vector<CSMTPAddress> bcc_;
};

// The bytes sent after DATA for one piece of text: every line end becomes CR LF (a bare LF or a
// lone CR too), and a line that begins with a dot gets one more, so the text can never end the
// data early. Lines after an LF are taken as already stuffed when the text went through
// SetBody; the first line and lines after a lone CR never are.
std::string WireText(std::string_view text, bool stuffedAfterLineFeed);

}  // namespace tarvik
