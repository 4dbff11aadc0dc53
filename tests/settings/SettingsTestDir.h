#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
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

// Runs `work`, which may open `fifo` for reading, and says whether it finished within a few
// seconds. If it did not (an open that waits for a writer), a writer comes and goes so that the
// work can end and the test can report the hang instead of hanging itself.
template <class Work>
bool FinishesWithoutAWriter(const std::filesystem::path& fifo, Work work) {
    auto done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
        done.get();
        return true;
    }
    int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) {
        ::close(writer);
    }
    done.wait();
    return false;
}

}  // namespace tarvik::test
