#pragma once

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarvik::testing {

// Sets the process's zone, so that local dates do not depend on the machine's.
inline void UseZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
}

inline std::time_t UtcTime(int year, int month, int day, int hour = 12, int minute = 0,
                           int second = 0) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return ::timegm(&fields);
}

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-log-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline long LineCount(const std::string& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace tarvik::testing
