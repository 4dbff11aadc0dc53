#include "app/EventStream.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "app/ListFilter.h"
#include "app/ListFormats.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

std::string EventHead(std::string_view event, std::time_t time) {
    return "{\"event\": \"" + std::string(event) +
           "\", \"version\": " + std::to_string(kJsonFormatVersion) +
           ", \"time\": " + JsonString(IsoTime(time));
}

constexpr int kPollSliceMs = 100;

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

std::string LossEventLine(std::uint64_t lost, std::time_t time) {
    return EventHead("lost", time) + ", \"lost\": " + std::to_string(lost) + "}";
}

std::string KernelLossEventLine(std::time_t time) {
    // How many the kernel dropped is not known: at least one.
    return EventHead("lost", time) + ", \"lost\": 1, \"source\": \"kernel\"}";
}

CEventStream::CEventStream(int fd, std::size_t capacity, std::chrono::milliseconds drainLimit)
    : fd_(fd), capacity_(capacity < 2 ? 2 : capacity), drainLimit_(drainLimit) {
    writer_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

CEventStream::~CEventStream() {
    {
        std::lock_guard lock(mutex_);
        drainDeadline_ = std::chrono::steady_clock::now() + drainLimit_;
    }
    writer_.request_stop();
    wake_.notify_all();
    writer_.join();
}

bool CEventStream::Offer(std::string line) {
    {
        std::lock_guard lock(mutex_);
        // One place is kept for the line that reports the drops.
        const std::size_t room = unreported_ > 0 ? 2 : 1;
        if (broken_ || queue_.size() + room > capacity_) {
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

void CEventStream::Run(std::stop_token stop) {
    NameThisThread("event stream");
    // A reader that goes away makes write fail with EPIPE here rather than end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, stop, [this] { return !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopped with nothing left
        }
        std::string line = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const bool written = WriteLine(line, stop);
        lock.lock();
        if (!written) {
            // Whatever waits cannot go out either.
            broken_ = true;
            lost_ += 1 + queue_.size();
            queue_.clear();
        }
    }
}

bool CEventStream::WriteLine(const std::string& line, std::stop_token& stop) {
    const std::string text = line + '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        if (stop.stop_requested()) {
            std::lock_guard lock(mutex_);
            if (std::chrono::steady_clock::now() >= drainDeadline_) {
                return false;
            }
        }
        // Waiting in slices lets the stop end a wait on a reader that takes nothing.
        pollfd ready{fd_, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kPollSliceMs);
        if (polled < 0 && errno != EINTR) {
            return false;
        }
        if (polled <= 0) {
            continue;
        }
        if ((ready.revents & (POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        const ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace tarvik
