#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarvik::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class SettingsTestDir {
public:
    SettingsTestDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-settings-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~SettingsTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    SettingsTestDir(const SettingsTestDir&) = delete;
    SettingsTestDir& operator=(const SettingsTestDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path File() const { return path_ / "Tarvik.conf"; }

private:
    std::filesystem::path path_;
};

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tarvik::test
