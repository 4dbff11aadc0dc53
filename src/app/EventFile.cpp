#include "app/EventFile.h"

#include <cstring>
#include <ctime>
#include <system_error>

#include "app/EventStream.h"
#include "base/ThreadName.h"

namespace tarvik {

CEventFile::CEventFile(std::size_t capacity, LineFormat format, Report report)
    : capacity_(capacity < 2 ? 2 : capacity),
      format_(std::move(format)),
      report_(std::move(report)) {
    writer_ = std::thread([this] { Run(); });
}

CEventFile::~CEventFile() {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void CEventFile::Reopen(std::filesystem::path path, std::uint64_t limitBytes) {
    {
        std::lock_guard lock(mutex_);
        active_ = !path.empty();
        reopen_ = Target{std::move(path), limitBytes};
    }
    wake_.notify_one();
}

bool CEventFile::Offer(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (!active_) {
            return false;
        }
        // One place is kept for the line that reports the drops.
        const std::size_t room = unreported_ > 0 ? 2 : 1;
        if (queue_.size() + room > capacity_) {
            ++unreported_;
            ++lost_;
            return false;
        }
        if (unreported_ > 0) {
            queue_.push_back(LossEventLine(unreported_, std::time(nullptr)));
            unreported_ = 0;
        }
        queue_.push_back(std::move(line));
    }
    wake_.notify_one();
    return true;
}

std::uint64_t CEventFile::Lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

void CEventFile::Run() {
    NameThisThread("event file");
    std::vector<std::string> lines;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return finishing_ || reopen_ || !queue_.empty(); });
        const std::optional<Target> reopen = std::exchange(reopen_, std::nullopt);
        lines.assign(std::make_move_iterator(queue_.begin()),
                     std::make_move_iterator(queue_.end()));
        queue_.clear();
        const bool finishing = finishing_;
        lock.unlock();
        if (reopen) {
            reported_ = false;  // a new start: its problems are news
            Open(*reopen);
        }
        const std::size_t dropped = lines.empty() ? 0 : WriteBatch(lines);
        lock.lock();
        lost_ += dropped;
        if (finishing && queue_.empty()) {
            return;
        }
    }
}

void CEventFile::Open(const Target& target) {
    file_.Close();
    target_ = target;
    size_ = 0;
    if (target_.path.empty()) {
        return;
    }
    const std::filesystem::path path = std::filesystem::absolute(target_.path);
    std::string reason;
    if (!file_.Open(path.parent_path().string(), path.filename().string(), reason)) {
        Problem("cannot open the events file " + target_.path.string() + ": " + reason);
        return;
    }
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    size_ = error ? 0 : size;
}

void CEventFile::Rotate() {
    const std::filesystem::path path = target_.path;
    file_.Close();
    std::error_code error;
    // Replaces the previous ".1"; a link planted there is replaced, never followed.
    std::filesystem::rename(path, path.string() + ".1", error);
    if (error && !rotateReported_ && report_) {
        // The file goes on growing; said once until a rotation works.
        report_("cannot rotate the events file " + path.string() + ": " + error.message());
    }
    rotateReported_ = static_cast<bool>(error);
    Open(Target{path, target_.limitBytes});
}

// Returns how many lines could not be written.
std::size_t CEventFile::WriteBatch(std::vector<std::string>& lines) {
    if (target_.path.empty()) {
        return 0;  // no file set: Offer took these before the path went away
    }
    // Moved or removed (a log rotation without a hangup): a new file at the name.
    if (!file_.IsOpen() || file_.Gone()) {
        Open(target_);
    }
    std::size_t lost = 0;
    std::size_t inBatch = 0;
    batch_.clear();
    for (std::string& line : lines) {
        std::string text = format_ ? format_(line) : std::move(line);
        text += '\n';
        // The limit holds unless one line alone passes it.
        if (size_ + batch_.size() > 0 && size_ + batch_.size() + text.size() > target_.limitBytes) {
            lost += Flush(inBatch);
            Rotate();
        }
        batch_ += text;
        ++inBatch;
    }
    lines.clear();
    return lost + Flush(inBatch);
}

// Writes the batch of `count` lines; returns how many were lost.
std::size_t CEventFile::Flush(std::size_t& count) {
    const std::size_t lines = std::exchange(count, 0);
    if (batch_.empty()) {
        return 0;
    }
    int error = 0;
    if (!file_.IsOpen()) {
        batch_.clear();
        return lines;  // told when the open failed
    }
    if (!file_.WriteLines(batch_, &error)) {
        batch_.clear();
        Problem("event lines lost, the events file " + target_.path.string() +
                " cannot be written: " + std::strerror(error));
        return lines;
    }
    size_ += batch_.size();
    batch_.clear();
    reported_ = false;
    return 0;
}

void CEventFile::Problem(const std::string& text) {
    if (!reported_ && report_) {
        report_(text);
    }
    reported_ = true;
}

}  // namespace tarvik
