#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "acquisition/ConnectionRecord.h"
#include "settings/SettingsTable.h"

namespace tarvik {

// The first line of a new log file of that format.
std::string_view LogHeader(LogFormat format);
// The format whose header `firstLine` is (its line end aside); nullopt for any other line.
std::optional<LogFormat> FormatOfHeader(std::string_view firstLine);

// The extended format's fields after the classic eight: ",TCP,<sent>,<received>,<process>". The
// process is "command (pid)", or empty when not known, with commas, control bytes and bytes
// that are not UTF-8 escaped as \xNN: the four fields can be read from the end of the line even
// where a service text holds a comma.
void AppendExtendedFields(std::string& line, const CConnectionRecord& record);

// Makes log lines, the bytes of CConnectionRecord::CsvText, keeping the time texts of the last
// few seconds: records ending together share their seconds, and turning a time into local text
// is the costly part of a line. One thread owns it; the zone is taken to stay as it is.
class CLogLineMaker {
public:
    // The classic eight fields; the extended format adds protocol, bytes sent, bytes received
    // and process (ExtendedFields).
    void Append(std::string& line, const CConnectionRecord& record,
                LogFormat format = LogFormat::Classic);

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
