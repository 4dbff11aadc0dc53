#include "mail/SMTPMessage.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tarvik {
namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string JoinRegularForms(const std::vector<CSMTPAddress>& addresses) {
    std::string text;
    for (const CSMTPAddress& address : addresses) {
        if (!text.empty()) {
            text += ',';
        }
        text += address.RegularForm();
    }
    return text;
}

}  // namespace

CSMTPAddress::CSMTPAddress() = default;

CSMTPAddress::CSMTPAddress(std::string address) : address(std::move(address)) {}

CSMTPAddress::CSMTPAddress(std::string displayName, std::string address)
    : displayName(std::move(displayName)), address(std::move(address)) {}

std::string CSMTPAddress::RegularForm() const {
    if (displayName.empty()) {
        return address;
    }
    return displayName + " <" + address + ">";
}

std::string FormatZoneOffset(long secondsEastOfUtc) {
    // The sign comes from the offset itself, so zones less than an hour west of UTC keep it.
    const long minutes = std::labs(secondsEastOfUtc) / 60;
    char text[48];
    std::snprintf(text, sizeof text, "%c%.2ld%.2ld", secondsEastOfUtc < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

std::string FormatDateText(const std::tm& localTime) {
    const auto pick = [](const char* const* names, int count, int index) {
        return index >= 0 && index < count ? names[index] : "???";
    };
    char text[64];
    std::snprintf(text, sizeof text, "%s, %.2d %s %d %.2d:%.2d:%.2d ",
                  pick(kDayNames, 7, localTime.tm_wday), localTime.tm_mday,
                  pick(kMonthNames, 12, localTime.tm_mon), localTime.tm_year + 1900,
                  localTime.tm_hour, localTime.tm_min, localTime.tm_sec);
    return text + FormatZoneOffset(localTime.tm_gmtoff);
}

std::string DateText(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        gmtime_r(&when, &local);
    }
    return FormatDateText(local);
}

const std::vector<CSMTPAddress>* CSMTPMessage::List(int kind) const {
    switch (kind) {
        case kTo:
            return &to_;
        case kCc:
            return &cc_;
        case kBcc:
            return &bcc_;
        default:
            return nullptr;
    }
}

std::vector<CSMTPAddress>* CSMTPMessage::List(int kind) {
    return const_cast<std::vector<CSMTPAddress>*>(std::as_const(*this).List(kind));
}

int CSMTPMessage::AddRecipient(const CSMTPAddress& address, int kind) {
    std::vector<CSMTPAddress>* list = List(kind);
    if (list == nullptr) {
        return -1;
    }
    list->push_back(address);
    return static_cast<int>(list->size()) - 1;
}

int CSMTPMessage::RecipientCount(int kind) const {
    const std::vector<CSMTPAddress>* list = List(kind);
    return list == nullptr ? 0 : static_cast<int>(list->size());
}

CSMTPAddress CSMTPMessage::Recipient(int index, int kind) const {
    const std::vector<CSMTPAddress>* list = List(kind);
    if (list == nullptr || index < 0 || static_cast<std::size_t>(index) >= list->size()) {
        return {};
    }
    return (*list)[static_cast<std::size_t>(index)];
}

void CSMTPMessage::SetBody(std::string body) {
    body_.clear();
    body_.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        body_ += body[i];
        if (body[i] == '\n' && i + 1 < body.size() && body[i + 1] == '.') {
            body_ += '.';
        }
    }
}

std::string CSMTPMessage::Header() const {
    return HeaderWithDate(DateText(std::time(nullptr)));
}

std::string CSMTPMessage::HeaderWithDate(std::string_view dateText) const {
    const std::string ccText = JoinRegularForms(cc_);
    std::string header = "From: " + from.RegularForm() + "\r\n";
    header += "To: " + JoinRegularForms(to_) + "\r\n";
    if (!ccText.empty()) {
        header += "Cc: " + ccText + "\r\n";
    }
    header += "Subject: " + subject + "\r\n";
    header += "Date: ";
    header += dateText;
    header += "\r\nX-Mailer: " + mailer + "\r\n";
    if (!replyTo.address.empty()) {
        header += "Reply-To: " + replyTo.RegularForm() + "\r\n";
    }
    header += "MIME-Version: 1.0\r\nContent-type: text/plain; charset=US-ASCII\r\n\r\n";
    return header;
}

std::string WireText(std::string_view text, bool stuffedAfterLineFeed) {
    std::string wire;
    wire.reserve(text.size() + text.size() / 16 + 2);
    bool lineStart = true;
    bool afterLineFeed = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (lineStart && c == '.' && !(afterLineFeed && stuffedAfterLineFeed)) {
            wire += '.';
        }
        lineStart = false;
        afterLineFeed = false;
        if (c == '\r') {
            wire += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
                afterLineFeed = true;
            }
            lineStart = true;
        } else if (c == '\n') {
            wire += "\r\n";
            lineStart = true;
            afterLineFeed = true;
        } else {
            wire += c;
        }
    }
    return wire;
}

}  // namespace tarvik
