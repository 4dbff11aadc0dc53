#include "base/WaitSet.h"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace tarvik {

namespace {

constexpr std::size_t kStop = 0;
constexpr std::size_t kWake = 1;
constexpr std::size_t kFirstKey = 2;

void Signal(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Empties an eventfd or a timerfd, so that it is not ready again until signalled again.
void Consume(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

int PollTimeout(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout) {
        return -1;
    }
    return static_cast<int>(
        std::clamp<std::chrono::milliseconds::rep>(timeout->count(), 0, INT_MAX));
}

}  // namespace

bool CWaitSet::Result::Has(WaitKey key) const {
    return std::any_of(ready.begin(), ready.end(), [key](const Ready& r) { return r.key == key; });
}

CWaitSet::CWaitSet()
    : stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    polled_.push_back(pollfd{stop_.Get(), POLLIN, 0});
    polled_.push_back(pollfd{wake_.Get(), POLLIN, 0});
}

void CWaitSet::Stop() {
    // The flag first: a thread that wakes reads it, and one that checks it needs no wake.
    stopped_ = true;
    if (stop_) {
        Signal(stop_.Get());  // never read: it stays ready, so every later Wait sees it too
    }
}

void CWaitSet::Wake() {
    if (wake_) {
        Signal(wake_.Get());
    }
}

WaitKey CWaitSet::Watch(int fd, short events) {
    entries_.push_back(Entry{fd, UniqueFd()});
    polled_.push_back(pollfd{fd, events, 0});
    return WaitKey{entries_.size() - 1};
}

void CWaitSet::Enable(WaitKey key, bool on) {
    // poll(2) skips a negative descriptor.
    polled_[kFirstKey + IndexOf(key)].fd = on ? entries_[IndexOf(key)].fd : -1;
}

void CWaitSet::Rewatch(WaitKey key, int fd, short events) {
    entries_[IndexOf(key)].fd = fd;
    polled_[kFirstKey + IndexOf(key)] = pollfd{fd, events, 0};
}

WaitKey CWaitSet::AddTimer() {
    UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    const int fd = timer.Get();
    entries_.push_back(Entry{fd, std::move(timer)});
    polled_.push_back(pollfd{fd, POLLIN, 0});
    return WaitKey{entries_.size() - 1};
}

void CWaitSet::Arm(WaitKey timer, std::chrono::nanoseconds delay) {
    const int fd = entries_[IndexOf(timer)].timer.Get();
    // An expiry not yet read would report the timer once more, early.
    Consume(fd);
    // A zero time would disarm the timer: "at once" is the smallest delay instead.
    const std::chrono::nanoseconds wait = std::max(delay, std::chrono::nanoseconds(1));
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
    ::timerfd_settime(fd, 0, &expiry, nullptr);
}

const CWaitSet::Result& CWaitSet::Wait(std::optional<std::chrono::milliseconds> timeout) {
    result_.stopped = result_.woken = result_.timedOut = result_.failed = false;
    result_.ready.clear();
    if (!Valid()) {
        result_.failed = true;
        return result_;
    }
    const int count = ::poll(polled_.data(), polled_.size(), PollTimeout(timeout));
    if (count < 0) {
        result_.failed = errno != EINTR;
        return result_;
    }
    result_.timedOut = count == 0;
    result_.stopped = polled_[kStop].revents != 0 || stopped_.load();
    if (polled_[kWake].revents != 0) {
        Consume(wake_.Get());
        result_.woken = true;
    }
    for (std::size_t i = kFirstKey; i < polled_.size(); ++i) {
        pollfd& entry = polled_[i];
        if (entry.fd < 0 || entry.revents == 0) {
            continue;
        }
        const Entry& owner = entries_[i - kFirstKey];
        if (owner.timer) {
            Consume(owner.timer.Get());
        }
        result_.ready.push_back(Ready{WaitKey{i - kFirstKey}, owner.fd, entry.revents});
    }
    return result_;
}

bool CWaitSet::PauseUnlessStopped(std::chrono::milliseconds pause) const {
    if (stopped_.load()) {
        return true;
    }
    pollfd stop{stop_.Get(), POLLIN, 0};
    return ::poll(&stop, 1, PollTimeout(pause)) > 0 || stopped_.load();
}

}  // namespace tarvik
