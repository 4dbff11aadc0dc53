#include "acquisition/EventSource.h"

#include <array>
#include <utility>

namespace tarvik {
namespace {

constexpr std::array<std::pair<AcquisitionMode, std::string_view>, 4> kModeNames{{
    {AcquisitionMode::Auto, "auto"},
    {AcquisitionMode::Events, "events"},
    {AcquisitionMode::Destroy, "destroy"},
    {AcquisitionMode::Poll, "poll"},
}};

}  // namespace

std::string_view AcquisitionModeName(AcquisitionMode mode) {
    for (const auto& [value, name] : kModeNames) {
        if (value == mode) {
            return name;
        }
    }
    return "auto";
}

std::optional<AcquisitionMode> ParseAcquisitionMode(std::string_view text) {
    for (const auto& [value, name] : kModeNames) {
        if (name == text) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace tarvik
