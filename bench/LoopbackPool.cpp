#include "LoopbackPool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>

namespace tarvik::bench {
namespace {

struct Pair {
    UniqueFd client;
    UniqueFd server;
};

sockaddr_in Loopback(int third, int fourth, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr =
        htonl((127u << 24) | (static_cast<unsigned>(third) << 8) | static_cast<unsigned>(fourth));
    address.sin_port = htons(port);
    return address;
}

void ResetAtClose(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

class HelperState {
public:
    explicit HelperState(int index) : index_(index) {}

    bool Listen() {
        listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = Loopback(1, index_ + 1, 0);
        socklen_t length = sizeof address;
        if (!listener_ ||
            bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_.Get(), 1024) != 0 ||
            getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        target_ = address;
        return true;
    }

    bool Open(int count) {
        for (int i = 0; i < count; ++i) {
            if (!OpenOne()) {
                return false;
            }
        }
        return true;
    }

    bool Churn(int count) {
        count = std::min<int>(count, static_cast<int>(pairs_.size()));
        for (int i = 0; i < count; ++i) {
            pairs_.pop_front();  // resets both ends
        }
        return Open(count);
    }

private:
    bool OpenOne() {
        Pair pair;
        pair.client.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!pair.client) {
            return false;
        }
        const int noPort = 1;
        setsockopt(pair.client.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
        sockaddr_in source = Loopback(2, index_ + 1, 0);
        if (bind(pair.client.Get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            connect(pair.client.Get(), reinterpret_cast<sockaddr*>(&target_), sizeof target_) !=
                0) {
            return false;
        }
        pair.server.Reset(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!pair.server) {
            return false;
        }
        ResetAtClose(pair.client.Get());
        ResetAtClose(pair.server.Get());
        pairs_.push_back(std::move(pair));
        return true;
    }

    int index_;
    UniqueFd listener_;
    sockaddr_in target_{};
    std::deque<Pair> pairs_;
};

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Commands: 'o' n opens n connections, 'c' n churns n; each is answered 'y' or 'n'. End of
// file on the command pipe ends the helper.
[[noreturn]] void RunHelper(pid_t parent, int index, int commandFd, int replyFd) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(1);
    }
    HelperState state(index);
    const bool listening = state.Listen();
    for (;;) {
        char command = 0;
        int value = 0;
        if (!ReadAll(commandFd, &command, 1) || !ReadAll(commandFd, &value, sizeof value)) {
            _exit(0);
        }
        const bool ok = listening && (command == 'o' ? state.Open(value) : state.Churn(value));
        const char answer = ok ? 'y' : 'n';
        if (write(replyFd, &answer, 1) != 1) {
            _exit(1);
        }
    }
}

}  // namespace

LoopbackPool::~LoopbackPool() {
    Close();
}

bool LoopbackPool::Ask(Helper& helper, char command, int value) {
    char message[1 + sizeof value];
    message[0] = command;
    std::copy_n(reinterpret_cast<const char*>(&value), sizeof value, message + 1);
    if (write(helper.command.Get(), message, sizeof message) !=
        static_cast<ssize_t>(sizeof message)) {
        return false;
    }
    char answer = 0;
    return ReadAll(helper.reply.Get(), &answer, 1) && answer == 'y';
}

bool LoopbackPool::GrowTo(int total) {
    const pid_t self = getpid();
    while (total_ < total) {
        if (helpers_.empty() || helpers_.back().count == kPerHelper) {
            if (helpers_.size() >= 250) {
                return false;
            }
            int command[2];
            int reply[2];
            if (pipe2(command, O_CLOEXEC) != 0) {
                return false;
            }
            UniqueFd commandRead(command[0]);
            UniqueFd commandWrite(command[1]);
            if (pipe2(reply, O_CLOEXEC) != 0) {
                return false;
            }
            UniqueFd replyRead(reply[0]);
            UniqueFd replyWrite(reply[1]);
            const int index = static_cast<int>(helpers_.size());
            const pid_t child = fork();
            if (child < 0) {
                return false;
            }
            if (child == 0) {
                // Only the parent may hold the write end, or the helper never sees end of file.
                helpers_.clear();
                commandWrite.Reset();
                replyRead.Reset();
                RunHelper(self, index, commandRead.Get(), replyWrite.Get());
            }
            helpers_.push_back(Helper{child, std::move(commandWrite), std::move(replyRead), 0});
        }
        Helper& helper = helpers_.back();
        const int add = std::min(total - total_, kPerHelper - helper.count);
        if (!Ask(helper, 'o', add)) {
            return false;
        }
        helper.count += add;
        total_ += add;
    }
    return true;
}

bool LoopbackPool::Churn(int perMille) {
    for (Helper& helper : helpers_) {
        if (!Ask(helper, 'c', std::max(1, helper.count * perMille / 1000))) {
            return false;
        }
    }
    return true;
}

void LoopbackPool::Close() {
    for (Helper& helper : helpers_) {
        helper.command.Reset();  // the helper sees end of file and exits
    }
    for (Helper& helper : helpers_) {
        waitpid(helper.pid, nullptr, 0);
    }
    helpers_.clear();
    total_ = 0;
}

}  // namespace tarvik::bench
