#include "logging/LogFileName.h"

#include <algorithm>
#include <cstdio>

namespace tarvik {

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[64];
    const int length = std::snprintf(text, sizeof text, format, args...);
    if (length < 0) {
        return {};
    }
    return std::string(text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

std::optional<std::tm> LocalTime(std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return std::nullopt;
    }
    return local;
}

// Day of month `offsetDays` calendar days from `day`. Calendar arithmetic at noon rather than
// multiples of 86400 s, so that a week holding a daylight-saving change still finds its Sunday.
std::optional<int> DayOfMonthAfter(const std::tm& day, int offsetDays) {
    std::tm shifted{};
    shifted.tm_year = day.tm_year;
    shifted.tm_mon = day.tm_mon;
    shifted.tm_mday = day.tm_mday + offsetDays;
    shifted.tm_hour = 12;
    shifted.tm_isdst = -1;
    if (std::mktime(&shifted) == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return shifted.tm_mday;
}

}  // namespace

std::optional<LogDate> LocalLogDate(std::time_t time) {
    const auto local = LocalTime(time);
    if (!local) {
        return std::nullopt;
    }
    return LogDate{local->tm_mday, local->tm_mon + 1, local->tm_year + 1900};
}

std::optional<LogDateParts> MakeLogDateParts(std::time_t time) {
    const auto local = LocalTime(time);
    if (!local) {
        return std::nullopt;
    }
    const auto sunday = DayOfMonthAfter(*local, -local->tm_wday);
    const auto saturday = DayOfMonthAfter(*local, 6 - local->tm_wday);
    if (!sunday || !saturday) {
        return std::nullopt;
    }
    const int month = local->tm_mon + 1;
    const int year = local->tm_year + 1900;
    return LogDateParts{
        Format("%2d.%2d.%4d", local->tm_mday, month, year),
        Format("%2d-%2d.%2d.%4d", *sunday, *saturday, month, year),
        Format("%2d.%4d", month, year),
    };
}

const std::string& DatePartFor(const LogDateParts& parts, int rotation) {
    static const std::string kNone;
    switch (rotation) {
        case kRotationDaily:
            return parts.daily;
        case kRotationWeekly:
            return parts.weekly;
        case kRotationMonthly:
            return parts.monthly;
        default:
            return kNone;
    }
}

std::string LogBaseName(LogCategory category, std::string_view datePart) {
    if (datePart.empty()) {
        return {};
    }
    return std::string(LogCategoryWord(category)) + "." + std::string(datePart);
}

std::string LogFileName(std::string_view folder, LogCategory category, std::string_view datePart) {
    if (datePart.empty()) {
        return {};
    }
    std::string name(folder);
    if (!name.ends_with('/')) {
        name += '/';
    }
    return name + LogBaseName(category, datePart);
}

}  // namespace tarvik
