#include "mail/SMTPConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

namespace tarvik {
namespace {

using Clock = CSMTPSocket::Clock;
using std::chrono::milliseconds;

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

bool HasLineBreak(const CSMTPAddress& address) {
    return HasLineBreak(address.address) || HasLineBreak(address.displayName);
}

// Addresses and header fields come from the settings. A line break in one would let it add
// commands to the exchange or lines to the header, so such a message is not sent at all.
bool CarriesLineBreaks(const CSMTPMessage& message) {
    if (HasLineBreak(message.from) || HasLineBreak(message.replyTo) ||
        HasLineBreak(message.subject) || HasLineBreak(message.mailer)) {
        return true;
    }
    for (int kind : {CSMTPMessage::kTo, CSMTPMessage::kCc, CSMTPMessage::kBcc}) {
        for (int i = 0; i < message.RecipientCount(kind); ++i) {
            if (HasLineBreak(message.Recipient(i, kind))) {
                return true;
            }
        }
    }
    return false;
}

int PollWait(milliseconds wait) {
    return static_cast<int>(std::clamp<milliseconds::rep>(wait.count(), 0, INT_MAX));
}

milliseconds Until(Clock::time_point deadline) {
    return std::chrono::ceil<milliseconds>(deadline - Clock::now());
}

// The IPv4 address of a dotted address or, failing that, of a name.
bool ResolveIPv4(const std::string& host, in_addr& address) {
    if (inet_aton(host.c_str(), &address) != 0) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

std::string LocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace

bool CSMTPSocket::Fail(int error) {
    error_ = error;
    return false;
}

bool CSMTPSocket::Create() {
    Close();
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return fd_.Valid() || Fail(errno);
}

bool CSMTPSocket::Connect(const std::string& host, int port, milliseconds timeout) {
    if (!IsOpen()) {
        return Fail(EBADF);
    }
    in_addr ip{};
    if (port <= 0 || port > 65535 || !ResolveIPv4(host, ip)) {
        return Fail(EINVAL);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = ip;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return Fail(errno);
    }
    // A connect that hangs (a filtered port, a dead host) must not hold the caller for minutes.
    if (!WaitWritable(Clock::now() + timeout)) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return Fail(errno);
    }
    return error == 0 || Fail(error);
}

bool CSMTPSocket::WaitWritable(Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd_.Get(), POLLOUT, 0};
        const int ready = ::poll(&entry, 1, PollWait(Until(deadline)));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return Fail(ETIMEDOUT);
        }
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
}

bool CSMTPSocket::Send(std::string_view bytes, Clock::time_point deadline) {
    if (!IsOpen()) {
        return Fail(ENOTCONN);
    }
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return Fail(errno);
        }
        if (!WaitWritable(deadline)) {
            return false;
        }
    }
    return true;
}

long CSMTPSocket::Receive(char* buffer, std::size_t size) {
    const ssize_t count = ::recv(fd_.Get(), buffer, size, 0);
    if (count < 0) {
        error_ = errno;
    }
    return static_cast<long>(count);
}

int CSMTPSocket::WaitReadable(milliseconds wait) {
    if (!IsOpen()) {
        error_ = ENOTCONN;
        return -1;
    }
    pollfd entry{fd_.Get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, PollWait(wait));
    if (ready < 0) {
        if (errno == EINTR) {
            return 0;
        }
        error_ = errno;
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

void CSMTPSocket::Close() {
    fd_.Reset();
}

CSMTPConnection::CSMTPConnection() : CSMTPConnection(Limits{}) {}

CSMTPConnection::CSMTPConnection(Limits limits) : limits_(limits) {}

CSMTPConnection::~CSMTPConnection() {
    if (connected_) {
        Disconnect();
    }
}

bool CSMTPConnection::Connect(const std::string& host, int port) {
    if (!socket_.Create() || !socket_.Connect(host, port, limits_.connectTimeout)) {
        lastError_ = socket_.Error();
        return false;
    }
    connected_ = true;
    if (!ReadCommandResponse(220) || !SendAndExpect("HELO " + LocalHostName() + "\r\n", 250)) {
        Disconnect();
        return false;
    }
    return true;
}

bool CSMTPConnection::SendMessage(const CSMTPMessage& message) {
    if (CarriesLineBreaks(message)) {
        lastError_ = kSmtpErrorUnsafeText;
        return false;
    }
    if (!SendCommand("MAIL FROM:<" + message.from.address + ">\r\n")) {
        return false;
    }
    if (!ReadCommandResponse(250)) {
        lastError_ = kSmtpErrorBadCommand;
        return false;
    }
    if (!SendRecipients(message) || !SendCommand("DATA\r\n")) {
        return false;
    }
    if (!ReadCommandResponse(354)) {
        lastError_ = kSmtpErrorBadCommand;
        return false;
    }
    if (!SendText(message)) {
        return false;
    }
    if (!ReadCommandResponse(250)) {
        lastError_ = kSmtpErrorBadCommand;
        return false;
    }
    return true;
}

bool CSMTPConnection::SendRecipients(const CSMTPMessage& message) {
    for (int kind : {CSMTPMessage::kTo, CSMTPMessage::kCc, CSMTPMessage::kBcc}) {
        for (int i = 0; i < message.RecipientCount(kind); ++i) {
            if (!SendCommand("RCPT TO:<" + message.Recipient(i, kind).address + ">\r\n")) {
                return false;
            }
            if (!ReadCommandResponse(250)) {
                lastError_ = kSmtpErrorBadCommand;
                return false;
            }
        }
    }
    return true;
}

bool CSMTPConnection::SendText(const CSMTPMessage& message) {
    return SendCommand(WireText(message.Header(), false)) &&
           SendCommand(WireText(message.Body(), true)) && SendCommand("\r\n.\r\n");
}

bool CSMTPConnection::Disconnect() {
    bool acknowledged = false;
    if (connected_) {
        SendCommand("QUIT\r\n");
        acknowledged = ReadCommandResponse(221);
        if (!acknowledged) {
            lastError_ = kSmtpErrorBadCommand;
        }
        connected_ = false;
    }
    socket_.Close();
    return acknowledged;
}

bool CSMTPConnection::SendCommand(std::string_view command) {
    if (!socket_.Send(command, Clock::now() + limits_.stepDeadline)) {
        lastError_ = socket_.Error();
        return false;
    }
    return true;
}

bool CSMTPConnection::SendAndExpect(std::string_view command, int expectedCode) {
    return SendCommand(command) && ReadCommandResponse(expectedCode);
}

bool CSMTPConnection::ReadCommandResponse(int expectedCode) {
    return ReadResponse(256, "\r\n", expectedCode, 4096);
}

bool CSMTPConnection::FailRead(int error, std::string text) {
    lastError_ = error;
    lastResponse_ = std::move(text);
    return false;
}

bool CSMTPConnection::ReadResponse(std::size_t bufferSize, std::string_view terminator,
                                   int expectedCode, std::size_t growBy) {
    const Clock::time_point deadline = Clock::now() + limits_.stepDeadline;
    const std::size_t maxReply = std::max<std::size_t>(limits_.maxReplySize, 1);
    Clock::time_point lastArrival = Clock::now();
    std::string text;
    std::string chunk;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point silenceEnd = lastArrival + limits_.replyTimeout;
        if (now > silenceEnd || now >= deadline) {
            return FailRead(kSmtpErrorTimedOut, std::move(text));
        }
        // One millisecond past the silence limit, so "more than" the time-out has passed.
        const Clock::time_point waitEnd = std::min(silenceEnd + milliseconds(1), deadline);
        const int ready = socket_.WaitReadable(Until(waitEnd));
        if (ready < 0) {
            return FailRead(socket_.Error(), std::move(text));
        }
        if (ready == 0) {
            continue;
        }
        if (bufferSize <= text.size() + 1) {
            bufferSize = text.size() + 1 + std::max<std::size_t>(growBy, 1);
        }
        const std::size_t room = bufferSize - text.size() - 1;
        chunk.resize(std::min(room, maxReply - text.size()));
        const long count = socket_.Receive(chunk.data(), chunk.size());
        if (count < 0 && (socket_.Error() == EAGAIN || socket_.Error() == EINTR)) {
            continue;
        }
        if (count < 0) {
            return FailRead(socket_.Error(), std::move(text));
        }
        // A server that hung up never completes the reply: fail now rather than at the time-out.
        if (count == 0) {
            return FailRead(kSmtpErrorClosed, std::move(text));
        }
        text.append(chunk.data(), static_cast<std::size_t>(count));
        lastArrival = Clock::now();
        if (static_cast<std::size_t>(count) == room) {
            bufferSize += growBy;
        }
        if (text.find(terminator) != std::string::npos) {
            break;
        }
        // Without a bound, a hostile server could grow the reply without end.
        if (text.size() >= maxReply) {
            return FailRead(kSmtpErrorReplyTooLong, std::move(text));
        }
    }
    // The terminator is taken to be the last thing received.
    text.resize(text.size() - std::min(text.size(), terminator.size()));
    lastResponseCode_ = static_cast<int>(std::strtol(text.substr(0, 3).c_str(), nullptr, 10));
    if (lastResponseCode_ == expectedCode) {
        return true;
    }
    return FailRead(kSmtpErrorUnexpectedCode, std::move(text));
}

}  // namespace tarvik
