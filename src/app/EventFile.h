#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/LogFile.h"

namespace tarvik {

// Event lines appended to a file by a writer thread of its own, so that a busy host's events
// need not pass the journal's rate limit. The file is opened as the logs are (no link followed,
// only a regular file of our own with one link), renamed to its name and ".1" before it would
// pass its size limit, and opened again when it was moved away or on Reopen. Offer never
// waits: past `capacity` waiting lines, lines are dropped and counted, and a "lost" event
// goes out before the next line that finds room.
class CEventFile {
public:
    using LineFormat = std::function<std::string(std::string_view line)>;
    using Report = std::function<void(const std::string& text)>;

    // `format` rewrites each line on the writer's thread (empty: as offered); `report` hears of
    // a file that cannot be opened or written, once until it works again.
    CEventFile(std::size_t capacity, LineFormat format, Report report);
    // Writes what waits, then stops.
    ~CEventFile();

    CEventFile(const CEventFile&) = delete;
    CEventFile& operator=(const CEventFile&) = delete;

    // The file and its size limit in bytes; an empty path: none. The file is (re)opened before
    // the next line is written, even when the path is the same.
    void Reopen(std::filesystem::path path, std::uint64_t limitBytes);
    // Queues one line (without its line end). False when it was dropped, or no file is set.
    bool Offer(std::string line);
    // Lines dropped because the queue was full or the file could not take them.
    std::uint64_t Lost() const;

private:
    struct Target {
        std::filesystem::path path;
        std::uint64_t limitBytes = 0;
    };

    void Run();
    // The writer's side: the file, its size, and what a batch of lines does to them.
    void Open(const Target& target);
    void Rotate();
    std::size_t WriteBatch(std::vector<std::string>& lines);
    std::size_t Flush(std::size_t& count);
    void Problem(const std::string& text);

    std::size_t capacity_;
    LineFormat format_;
    Report report_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;  // under mutex_
    std::optional<Target> reopen_;   // asked for, not yet done; under mutex_
    bool active_ = false;            // a path is set; under mutex_
    bool finishing_ = false;         // under mutex_
    std::uint64_t unreported_ = 0;   // drops not yet told in a "lost" line; under mutex_
    std::uint64_t lost_ = 0;         // under mutex_

    // The writer thread's own.
    Target target_;
    CLogFile file_;
    std::uint64_t size_ = 0;
    bool reported_ = false;        // an open or write problem was told
    bool rotateReported_ = false;  // a rotation problem was told
    std::string batch_;

    std::thread writer_;
};

}  // namespace tarvik
