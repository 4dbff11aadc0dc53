#include "support/ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace tarvik::test {
namespace {

constexpr std::chrono::milliseconds kSlice{20};

void SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

int OpenListener(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string UpperCommand(const std::string& line) {
    std::string word = line.substr(0, 4);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return word;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(SmtpServerOptions options)
    : options_(std::move(options)), end_(std::chrono::steady_clock::now() + options_.lifetime) {
    port_ = options_.port;
    listenFd_ = OpenListener(port_);
    if (listenFd_ >= 0) {
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    } else {
        done_ = true;
    }
}

ScriptedSmtpServer::ScriptedSmtpServer() : ScriptedSmtpServer(AcceptAll()) {}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

SmtpServerOptions ScriptedSmtpServer::AcceptAll(int maxConnections) {
    SmtpServerOptions options;
    options.maxConnections = maxConnections;
    return options;
}

SmtpServerOptions ScriptedSmtpServer::Scripted(std::vector<std::vector<SmtpStep>> groups) {
    SmtpServerOptions options;
    for (auto& group : groups) {
        for (auto& step : group) {
            options.script.push_back(std::move(step));
        }
    }
    return options;
}

bool ScriptedSmtpServer::WaitUntilDone(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

bool ScriptedSmtpServer::WaitForReceived(const std::string& text,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return received_.find(text) != std::string::npos; });
}

std::string ScriptedSmtpServer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedSmtpServer::ReceivedLines() const {
    const std::string all = Received();
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = all.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
        lines.push_back(all.substr(begin, end - begin));
    }
    return lines;
}

std::vector<std::string> ScriptedSmtpServer::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

int ScriptedSmtpServer::ConnectionsServed() const {
    std::lock_guard lock(mutex_);
    return served_;
}

bool ScriptedSmtpServer::Expired(std::stop_token stop) const {
    return stop.stop_requested() || std::chrono::steady_clock::now() >= end_;
}

void ScriptedSmtpServer::Record(const char* data, std::size_t size) {
    {
        std::lock_guard lock(mutex_);
        const std::size_t room =
            options_.maxRecorded - std::min(options_.maxRecorded, received_.size());
        received_.append(data, std::min(size, room));
    }
    changed_.notify_all();
}

void ScriptedSmtpServer::Run(std::stop_token stop) {
    int served = 0;
    while (served < options_.maxConnections && !Expired(stop)) {
        pollfd listener{listenFd_, POLLIN, 0};
        if (::poll(&listener, 1, static_cast<int>(kSlice.count())) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        Serve(fd, stop);
        ::close(fd);
        ++served;
        {
            std::lock_guard lock(mutex_);
            served_ = served;
        }
        changed_.notify_all();
    }
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
}

void ScriptedSmtpServer::Serve(int fd, std::stop_token stop) {
    pending_.clear();
    if (options_.script.empty()) {
        AcceptEverything(fd, stop);
    } else {
        RunScript(fd, stop);
    }
}

bool ScriptedSmtpServer::ReadSome(int fd, std::stop_token stop) {
    if (Expired(stop)) {
        return false;
    }
    pollfd client{fd, POLLIN, 0};
    const int ready = ::poll(&client, 1, static_cast<int>(kSlice.count()));
    if (ready < 0) {
        return errno == EINTR;
    }
    if (ready == 0) {
        return true;
    }
    char buffer[65536];
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count > 0) {
        Record(buffer, static_cast<std::size_t>(count));
        pending_.append(buffer, static_cast<std::size_t>(count));
        return true;
    }
    return count < 0 && (errno == EINTR || errno == EAGAIN);
}

bool ScriptedSmtpServer::WaitForPending(int fd, const std::string& mark, std::stop_token stop,
                                        std::string& out) {
    // Only new bytes are searched, so a long message does not cost a rescan per read.
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = pending_.find(mark, from);
        from = pending_.size() >= mark.size() ? pending_.size() - mark.size() + 1 : 0;
        if (at != std::string::npos) {
            out = pending_.substr(0, at + mark.size());
            pending_.erase(0, at + mark.size());
            return true;
        }
        if (!ReadSome(fd, stop)) {
            return false;
        }
    }
}

void ScriptedSmtpServer::DrainUntilClosed(int fd, std::stop_token stop) {
    while (ReadSome(fd, stop)) {
    }
}

namespace {

// Sleeps in short slices so a stop request is seen quickly.
void SleepFor(std::chrono::milliseconds interval, std::stop_token stop) {
    const auto until = std::chrono::steady_clock::now() + interval;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<std::chrono::nanoseconds>(kSlice, until - std::chrono::steady_clock::now()));
    }
}

}  // namespace

void ScriptedSmtpServer::RunScript(int fd, std::stop_token stop) {
    std::string unused;
    for (const SmtpStep& step : options_.script) {
        if (Expired(stop)) {
            return;
        }
        switch (step.kind) {
            case SmtpStep::Kind::Send:
                SendAll(fd, step.bytes);
                break;
            case SmtpStep::Kind::Trickle:
                for (char byte : step.bytes) {
                    if (Expired(stop)) {
                        return;
                    }
                    SendAll(fd, std::string_view(&byte, 1));
                    SleepFor(step.interval, stop);
                }
                break;
            case SmtpStep::Kind::ReadLine:
                if (!WaitForPending(fd, "\r\n", stop, unused)) {
                    return;
                }
                break;
            case SmtpStep::Kind::ReadData:
                if (!WaitForPending(fd, "\r\n.\r\n", stop, unused)) {
                    return;
                }
                break;
            case SmtpStep::Kind::Pause:
                SleepFor(step.interval, stop);
                break;
            case SmtpStep::Kind::Close:
                return;
        }
    }
    DrainUntilClosed(fd, stop);
}

void ScriptedSmtpServer::AcceptEverything(int fd, std::stop_token stop) {
    SendAll(fd, "220 127.0.0.1 test server ready\r\n");
    std::string line;
    while (WaitForPending(fd, "\r\n", stop, line)) {
        const std::string command = UpperCommand(line);
        if (command == "QUIT") {
            SendAll(fd, "221 bye\r\n");
            return;
        }
        if (command != "DATA") {
            const bool known = command == "HELO" || command == "EHLO" || command == "MAIL" ||
                               command == "RCPT" || command == "RSET" || command == "NOOP";
            SendAll(fd, known ? "250 ok\r\n" : "500 unknown command\r\n");
            continue;
        }
        SendAll(fd, "354 go ahead\r\n");
        // The mark's leading CR LF may be the very first bytes when the text is empty.
        pending_.insert(0, "\r\n");
        std::string text;
        if (!WaitForPending(fd, "\r\n.\r\n", stop, text)) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(text.substr(2, text.size() - 5));
        }
        SendAll(fd, "250 accepted\r\n");
    }
}

}  // namespace tarvik::test
