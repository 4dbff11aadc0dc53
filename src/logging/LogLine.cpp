#include "logging/LogLine.h"

#include <charconv>

namespace tarvik {

namespace {

void AppendNumber(std::string& out, int number) {
    char text[16];
    out.append(text, std::to_chars(text, text + sizeof text, number).ptr);
}

}  // namespace

const std::string& CLogLineMaker::TimeTextOf(std::time_t time) {
    for (const TimeSlot& slot : slots_) {
        if (slot.valid && slot.time == time) {
            return slot.text;
        }
    }
    TimeSlot& slot = slots_[nextSlot_];
    nextSlot_ = (nextSlot_ + 1) % slots_.size();
    slot.time = time;
    slot.valid = true;
    slot.text = TimeText(time);
    return slot.text;
}

// The same fields in the same order as CConnectionRecord::AppendCsv.
void CLogLineMaker::Append(std::string& line, const CConnectionRecord& record) {
    ((line += TimeTextOf(record.openTime)) += ',') += TimeTextOf(record.closeTime);
    ((line += ',') += record.ipAddress) += ',';
    (line += record.hostName) += ',';
    AppendNumber(line, record.remotePort);
    ((line += ',') += record.interfaceText) += ',';
    AppendNumber(line, record.localPort);
    (line += ',') += record.serviceText;
}

}  // namespace tarvik
