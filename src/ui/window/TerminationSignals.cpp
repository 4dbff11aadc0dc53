#include "ui/window/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <csignal>

namespace tarvik {
namespace {

std::atomic<int> gWakeFd{-1};
// SIGHUP: the terminal the window was started from has closed.
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void OnTerminationSignal(int) {
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
}

void SetHandler(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kTerminationSignals) {
        sigaction(number, &action, nullptr);
    }
}

}  // namespace

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    int expected = -1;
    if (!gWakeFd.compare_exchange_strong(expected, writeFd_)) {
        return;  // another instance handles the signals
    }
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &CTerminationSignals::Drain);
    SetHandler(&OnTerminationSignal);
}

CTerminationSignals::~CTerminationSignals() {
    if (notifier_) {
        SetHandler(SIG_DFL);
        gWakeFd.store(-1);
        notifier_.reset();
    }
    for (int fd : {readFd_, writeFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void CTerminationSignals::Drain() {
    char buffer[64];
    bool any = false;
    while (::read(readFd_, buffer, sizeof buffer) > 0) {
        any = true;
    }
    if (any) {
        emit terminationRequested();
    }
}

}  // namespace tarvik
