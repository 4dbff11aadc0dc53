#include "logging/LogLine.h"

namespace tarvik {

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

void CLogLineMaker::Append(std::string& line, const CConnectionRecord& record) {
    const std::size_t open = SlotOf(record.openTime, kNoSlot);
    // The close time's text must not take the slot of the open time's, which the line still
    // needs.
    const std::size_t close = SlotOf(record.closeTime, open);
    record.AppendCsv(line, slots_[open].text, slots_[close].text);
}

}  // namespace tarvik
