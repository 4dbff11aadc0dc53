#include "app/EventStream.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/ListFilter.h"
#include "app/ListFormats.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

std::string EventHead(std::string_view event, std::time_t time) {
    return "{\"event\": \"" + std::string(event) +
           "\", \"version\": " + std::to_string(kJsonFormatVersion) +
           ", \"time\": " + JsonString(UtcIsoTime(std::chrono::system_clock::from_time_t(time)));
}

}  // namespace

std::string ConnectionEventLine(std::string_view event, const CConnectionRecord& record,
                                std::time_t time) {
    std::string line = EventHead(event, time) + ", " + ConnectionJsonFields(record);
    if (record.closeTime != 0) {
        line += ", \"closeTime\": " + JsonString(IsoTime(record.closeTime));
    }
    return line + "}";
}

std::string AlertEventLine(const ScanAlertEvent& alert) {
    std::string ports;
    for (int port : alert.localPorts) {
        ports += (ports.empty() ? "" : ", ") + std::to_string(port);
    }
    const bool v6 = alert.remoteAddress.find(':') != std::string::npos;
    return EventHead("alert", alert.time) + ", \"family\": " + (v6 ? "6" : "4") +
           ", \"remoteAddress\": " + JsonString(alert.remoteAddress) + ", \"localPorts\": [" +
           ports + "], \"kind\": " + JsonString(alert.kind) + "}";
}

std::string SuppressedEventLine(const ScanAlertsSuppressed& suppressed) {
    std::string named;
    for (const std::string& host : suppressed.named) {
        named += (named.empty() ? "" : ", ") + JsonString(host);
    }
    return EventHead("suppressed", suppressed.time) +
           ", \"suppressed\": " + std::to_string(suppressed.hosts) + ", \"remoteAddresses\": [" +
           named + "]}";
}

std::string LossEventLine(std::uint64_t lost, std::time_t time) {
    return EventHead("lost", time) + ", \"lost\": " + std::to_string(lost) + "}";
}

std::string KernelLossEventLine(std::time_t time) {
    // How many the kernel dropped is not known: at least one.
    return EventHead("lost", time) + ", \"lost\": 1, \"source\": \"kernel\"}";
}

CEventStream::CEventStream(int fd, std::size_t capacity, std::chrono::milliseconds drainLimit,
                           LineFormat format)
    : fd_(fd),
      capacity_(capacity < 2 ? 2 : capacity),
      drainLimit_(drainLimit),
      format_(std::move(format)) {
    writer_ = std::thread([this] { Run(); });
}

CEventStream::~CEventStream() {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
        drainDeadline_ = std::chrono::steady_clock::now() + drainLimit_;
    }
    waits_.Wake();
    writer_.join();
}

bool CEventStream::Offer(std::string line) {
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        // One place is kept for the line that reports the drops.
        const std::size_t room = unreported_ > 0 ? 2 : 1;
        if (broken_ || queue_.size() + room > capacity_) {
            ++unreported_;
            ++lost_;
            return false;
        }
        wasEmpty = queue_.empty();
        if (unreported_ > 0) {
            queue_.push_back(LossEventLine(unreported_, std::time(nullptr)));
            unreported_ = 0;
        }
        queue_.push_back(std::move(line));
    }
    // The writer sleeps only on an empty queue, and looks at it again before it does.
    if (wasEmpty) {
        waits_.Wake();
    }
    return true;
}

void CEventStream::Run() {
    NameThisThread("event stream");
    // A reader that goes away makes write fail with EPIPE here rather than end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // Waited on only while a line goes out: the descriptor is writable nearly always.
    const WaitKey out = waits_.Watch(fd_, POLLOUT);
    waits_.Enable(out, false);
    std::unique_lock lock(mutex_);
    for (;;) {
        bool written = false;
        if (!queue_.empty()) {
            std::string line = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            written = WriteLine(format_ ? format_(line) : line, out);
        } else if (finishing_) {
            return;
        } else {
            lock.unlock();
            written = !waits_.Wait().failed;
        }
        lock.lock();
        if (!written) {
            // Whatever waits cannot go out either.
            broken_ = true;
            lost_ += 1 + queue_.size();
            queue_.clear();
        }
    }
}

bool CEventStream::WriteLine(const std::string& line, WaitKey out) {
    const std::string text = line + '\n';
    waits_.Enable(out, true);
    const bool written = WriteText(text, out);
    waits_.Enable(out, false);
    return written;
}

bool CEventStream::WriteText(std::string_view text, WaitKey out) {
    while (!text.empty()) {
        const std::optional<std::chrono::milliseconds> timeLeft = DrainTimeLeft();
        if (timeLeft && timeLeft->count() <= 0) {
            return false;
        }
        const CWaitSet::Result& woke = waits_.Wait(timeLeft);
        if (woke.failed) {
            return false;
        }
        const auto ready = std::find_if(woke.ready.begin(), woke.ready.end(),
                                        [out](const CWaitSet::Ready& r) { return r.key == out; });
        if (ready == woke.ready.end()) {
            continue;  // a line queued, or the finish: the deadline is looked at again
        }
        if ((ready->events & (POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        // A pipe that polls writable takes PIPE_BUF bytes without blocking; more could block
        // the writer on a stalled reader past the drain deadline.
        const std::size_t chunk = std::min<std::size_t>(text.size(), PIPE_BUF);
        const ssize_t written = ::write(fd_, text.data(), chunk);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::optional<std::chrono::milliseconds> CEventStream::DrainTimeLeft() {
    std::lock_guard lock(mutex_);
    if (!finishing_) {
        return std::nullopt;
    }
    return std::chrono::ceil<std::chrono::milliseconds>(drainDeadline_ -
                                                        std::chrono::steady_clock::now());
}

}  // namespace tarvik
