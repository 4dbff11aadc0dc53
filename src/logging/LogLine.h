#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <string>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Makes log lines, the bytes of CConnectionRecord::CsvText, keeping the time texts of the last
// few seconds: records ending together share their seconds, and turning a time into local text
// is the costly part of a line. One thread owns it; the zone is taken to stay as it is.
class CLogLineMaker {
public:
    void Append(std::string& line, const CConnectionRecord& record);

private:
    struct TimeSlot {
        std::time_t time = 0;
        bool valid = false;
        std::string text;
    };

    static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
    // The slot holding the text of `time`, made on a miss in a slot other than `keep`.
    std::size_t SlotOf(std::time_t time, std::size_t keep);

    std::array<TimeSlot, 4> slots_{};
    std::size_t nextSlot_ = 0;  // the one to reuse on a miss, oldest first
};

}  // namespace tarvik
