#pragma once

#include <optional>
#include <string_view>

namespace tarvik {

// The field names of the event objects written to --events and the events file. The control
// socket's followers always get the native ones, which the window reads.
enum class EventFormat {
    Tarvik,  // the native objects, as the control socket sends them
    Ecs,     // Elastic Common Schema names, for log pipelines that index them as they come
};

inline std::optional<EventFormat> ParseEventFormat(std::string_view text) {
    if (text == "tarvik") {
        return EventFormat::Tarvik;
    }
    if (text == "ecs") {
        return EventFormat::Ecs;
    }
    return std::nullopt;
}

}  // namespace tarvik
