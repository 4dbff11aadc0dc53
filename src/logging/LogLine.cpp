#include "logging/LogLine.h"

#include "settings/MessageText.h"

namespace tarvik {

namespace {

constexpr std::string_view kClassicHeader =
    "Open Time, Close Time, Remote Address, Remote Hostname, Remote Port, Network Interface, "
    "Local Port, Service Type";
constexpr std::string_view kExtendedHeader =
    "Open Time, Close Time, Remote Address, Remote Hostname, Remote Port, Network Interface, "
    "Local Port, Service Type, Protocol, Bytes Sent, Bytes Received, Process";

}  // namespace

std::string_view LogHeader(LogFormat format) {
    return format == LogFormat::Extended ? kExtendedHeader : kClassicHeader;
}

std::optional<LogFormat> FormatOfHeader(std::string_view firstLine) {
    if (firstLine.ends_with('\r')) {
        firstLine.remove_suffix(1);  // a file written with CR LF line ends
    }
    for (const LogFormat format : {LogFormat::Classic, LogFormat::Extended}) {
        if (firstLine == LogHeader(format)) {
            return format;
        }
    }
    return std::nullopt;
}

void AppendExtendedFields(std::string& line, const CConnectionRecord& record) {
    ((((line += ',') += ProtocolTitle(record.protocol)) += ',') +=
     std::to_string(record.bytes.sent)) += ',';
    (line += std::to_string(record.bytes.received)) += ',';
    if (record.pid <= 0) {
        return;
    }
    std::string process = EscapeForMessage(record.command.Str());
    for (std::size_t at = process.find(','); at != std::string::npos; at = process.find(',', at)) {
        process.replace(at, 1, "\\x2c");
    }
    ((line += process) += " (") += std::to_string(record.pid);
    line += ')';
}

std::size_t CLogLineMaker::SlotOf(std::time_t time, std::size_t keep) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].valid && slots_[i].time == time) {
            return i;
        }
    }
    if (nextSlot_ == keep) {
        nextSlot_ = (nextSlot_ + 1) % slots_.size();
    }
    const std::size_t index = nextSlot_;
    nextSlot_ = (nextSlot_ + 1) % slots_.size();
    TimeSlot& slot = slots_[index];
    slot.time = time;
    slot.valid = true;
    slot.text = TimeText(time);
    return index;
}

void CLogLineMaker::Append(std::string& line, const CConnectionRecord& record, LogFormat format) {
    const std::size_t open = SlotOf(record.openTime, kNoSlot);
    // The close time's text must not take the slot of the open time's, which the line still
    // needs.
    const std::size_t close = SlotOf(record.closeTime, open);
    record.AppendCsv(line, slots_[open].text, slots_[close].text);
    if (format == LogFormat::Extended) {
        AppendExtendedFields(line, record);
    }
}

}  // namespace tarvik
