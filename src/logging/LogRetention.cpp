#include "logging/LogRetention.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

constexpr std::time_t kSecondsPerDay = 86400;

bool ValidDate(int day, int month, int year) {
    return day >= 1 && day <= 31 && month >= 1 && month <= 12 && year >= 1900 && year <= 9999;
}

// The part read back and written again must give the same text, so "07.5.2003" or a
// trailing ".bak" never match.
bool IsDatePart(std::string_view part) {
    const std::string text(part);
    std::array<char, 64> rendered{};
    int a = 0;
    int b = 0;
    int c = 0;
    int d = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%d-%d.%d.%d%n", &a, &b, &c, &d, &used) == 4 &&
        static_cast<std::size_t>(used) == text.size() && ValidDate(a, c, d) && b >= 1 && b <= 31) {
        std::snprintf(rendered.data(), rendered.size(), "%2d-%2d.%2d.%4d", a, b, c, d);
        return text == rendered.data();
    }
    used = 0;
    if (std::sscanf(text.c_str(), "%d.%d.%d%n", &a, &b, &c, &used) == 3 &&
        static_cast<std::size_t>(used) == text.size() && ValidDate(a, b, c)) {
        std::snprintf(rendered.data(), rendered.size(), "%2d.%2d.%4d", a, b, c);
        return text == rendered.data();
    }
    used = 0;
    if (std::sscanf(text.c_str(), "%d.%d%n", &a, &b, &used) == 2 &&
        static_cast<std::size_t>(used) == text.size() && ValidDate(1, a, b)) {
        std::snprintf(rendered.data(), rendered.size(), "%2d.%4d", a, b);
        return text == rendered.data();
    }
    return false;
}

}  // namespace

bool IsOwnLogFileName(std::string_view fileName, LogCategory category) {
    const std::string prefix = std::string(LogCategoryWord(category)) + ".";
    return fileName.size() > prefix.size() && fileName.substr(0, prefix.size()) == prefix &&
           IsDatePart(fileName.substr(prefix.size()));
}

int RemoveOldLogFiles(const std::filesystem::path& folder, LogCategory category, int keepDays,
                      std::time_t now, const RetentionReport& report) {
    namespace fs = std::filesystem;
    if (keepDays <= 0 || folder.empty()) {
        return 0;
    }
    const std::time_t limit = now - static_cast<std::time_t>(keepDays) * kSecondsPerDay;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) {
        if (error != std::errc::no_such_file_or_directory) {
            report("cannot read log folder " + folder.string() + ": " + error.message());
        }
        return 0;
    }
    int removed = 0;
    for (const fs::directory_entry& entry : entries) {
        const fs::path& path = entry.path();
        if (!IsOwnLogFileName(path.filename().string(), category)) {
            continue;
        }
        // Only regular files: a link with a log file's name may point anywhere.
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_mtime >= limit) {
            continue;
        }
        if (::unlink(path.c_str()) == 0) {
            ++removed;
        } else if (errno != ENOENT) {
            report("cannot remove old log file " + path.string() + ": " + std::strerror(errno));
        }
    }
    return removed;
}

void CLogRetention::SweepOncePerDay(std::time_t now) {
    const std::optional<LogDate> today = LocalLogDate(now);
    if (!today || today == lastSweep_) {
        return;
    }
    lastSweep_ = today;
    const int keepDays = settings_.GetLogKeepDays();
    if (keepDays <= 0) {
        return;
    }
    for (LogCategory category :
         {LogCategory::Inbound, LogCategory::Outbound, LogCategory::Unknown}) {
        RemoveOldLogFiles(settings_.GetLogFolder(category), category, keepDays, now,
                          [this](const std::string& text) { hub_.NotifyUser(text); });
    }
}

}  // namespace tarvik
