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
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "mail/SmtpReply.h"

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

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

// The first address getaddrinfo gives for the host, or the errno to fail with.
int LookUp(const std::string& host, int port, int flags, Endpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0 || found == nullptr) {
        return EINVAL;
    }
    std::memcpy(&endpoint.address, found->ai_addr, found->ai_addrlen);
    endpoint.length = found->ai_addrlen;
    endpoint.family = found->ai_family;
    freeaddrinfo(found);
    return 0;
}

// A name lookup on a thread of its own, so that the caller can give up on it. The thread holds
// its share of the state and ends by itself when the resolver answers.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = EINVAL;
    Endpoint endpoint;
};

constexpr milliseconds kAbortSlice{50};

int LookUpName(const std::string& host, int port, Clock::time_point deadline,
               const CSmtpAbort* abort, Endpoint& endpoint) {
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, host, port] {
            Endpoint found;
            const int error = LookUp(host, port, 0, found);
            std::lock_guard lock(pending->mutex);
            pending->error = error;
            pending->endpoint = found;
            pending->finished = true;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return EAGAIN;
    }
    std::unique_lock lock(pending->mutex);
    while (!pending->finished) {
        if (abort != nullptr && abort->Aborted()) {
            return ECANCELED;
        }
        if (Clock::now() >= deadline) {
            return ETIMEDOUT;
        }
        pending->done.wait_until(lock, std::min(deadline, Clock::now() + kAbortSlice));
    }
    endpoint = pending->endpoint;
    return pending->error;
}

// An address is used as it is; a name is looked up within the deadline.
int Resolve(const std::string& host, int port, Clock::time_point deadline, const CSmtpAbort* abort,
            Endpoint& endpoint) {
    if (port <= 0 || port > 65535 || host.empty()) {
        return EINVAL;
    }
    if (LookUp(host, port, AI_NUMERICHOST, endpoint) == 0) {
        return 0;
    }
    return LookUpName(host, port, deadline, abort, endpoint);
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

bool CSMTPSocket::Create(int family) {
    Close();
    fd_.Reset(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return fd_.Valid() || Fail(errno);
}

bool CSMTPSocket::Connect(const std::string& host, int port, Clock::time_point deadline) {
    if (Aborted()) {
        return Fail(ECANCELED);
    }
    Endpoint endpoint;
    if (const int error = Resolve(host, port, deadline, abort_, endpoint); error != 0) {
        return Fail(error);
    }
    if (!Create(endpoint.family)) {
        return false;
    }
    if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&endpoint.address),
                  endpoint.length) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return Fail(errno);
    }
    // A connect that hangs (a filtered port, a dead host) must not hold the caller for minutes.
    if (!WaitWritable(deadline)) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return Fail(errno);
    }
    return error == 0 || Fail(error);
}

int CSMTPSocket::WaitFor(short events, Clock::time_point deadline) {
    for (;;) {
        if (Aborted()) {
            Fail(ECANCELED);
            return -1;
        }
        pollfd entries[2] = {{fd_.Get(), events, 0}, {-1, POLLIN, 0}};
        milliseconds wait = Until(deadline);
        if (abort_ != nullptr) {
            entries[1].fd = abort_->Fd();
            // Without its descriptor the abort is only seen between slices.
            if (entries[1].fd < 0) {
                wait = std::min(wait, kAbortSlice);
            }
        }
        const int ready = ::poll(entries, 2, PollWait(wait));
        if (ready < 0 && errno != EINTR) {
            Fail(errno);
            return -1;
        }
        if (Aborted()) {
            Fail(ECANCELED);
            return -1;
        }
        if (ready > 0 && entries[0].revents != 0) {
            return 1;
        }
        if (Clock::now() >= deadline) {
            return 0;
        }
    }
}

bool CSMTPSocket::WaitWritable(Clock::time_point deadline) {
    const int ready = WaitFor(POLLOUT, deadline);
    return ready > 0 || (ready == 0 && Fail(ETIMEDOUT));
}

bool CSMTPSocket::Send(std::string_view bytes, Clock::time_point deadline) {
    if (!IsOpen()) {
        return Fail(ENOTCONN);
    }
    if (Aborted()) {
        return Fail(ECANCELED);
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

int CSMTPSocket::WaitReadable(Clock::time_point deadline) {
    if (!IsOpen()) {
        error_ = ENOTCONN;
        return -1;
    }
    return WaitFor(POLLIN, deadline);
}

void CSMTPSocket::Close() {
    fd_.Reset();
}

CSMTPConnection::CSMTPConnection() : CSMTPConnection(Limits{}) {}

CSMTPConnection::CSMTPConnection(Limits limits, std::shared_ptr<const CSmtpAbort> abort)
    : limits_(limits), abort_(std::move(abort)), exchangeEnd_(Clock::now()) {
    socket_.SetAbort(abort_.get());
}

Clock::time_point CSMTPConnection::StepEnd() const {
    return std::min(Clock::now() + limits_.stepDeadline, exchangeEnd_);
}

CSMTPConnection::~CSMTPConnection() {
    if (connected_) {
        Disconnect();
    }
}

bool CSMTPConnection::Connect(const std::string& host, int port) {
    exchangeEnd_ = Clock::now() + limits_.exchangeDeadline;
    unread_.clear();
    socket_.Close();
    const Clock::time_point connectEnd =
        std::min(Clock::now() + limits_.connectTimeout, exchangeEnd_);
    if (!socket_.Connect(host, port, connectEnd)) {
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
        return FailCommand();
    }
    if (!SendRecipients(message) || !SendCommand("DATA\r\n")) {
        return false;
    }
    if (!ReadCommandResponse(354)) {
        return FailCommand();
    }
    if (!SendText(message)) {
        return false;
    }
    if (!ReadCommandResponse(250)) {
        return FailCommand();
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
                return FailCommand();
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
            FailCommand();
        }
        connected_ = false;
    }
    socket_.Close();
    return acknowledged;
}

bool CSMTPConnection::SendCommand(std::string_view command) {
    if (!socket_.Send(command, StepEnd())) {
        lastError_ = socket_.Error();
        return false;
    }
    return true;
}

bool CSMTPConnection::SendAndExpect(std::string_view command, int expectedCode) {
    return SendCommand(command) && ReadCommandResponse(expectedCode);
}

bool CSMTPConnection::ReadCommandResponse(int expectedCode) {
    return ReadResponse(256, expectedCode, 4096);
}

bool CSMTPConnection::FailCommand() {
    // An abort keeps its own reason, so the caller can tell it from a refusal.
    if (lastError_ != kSmtpErrorAborted) {
        lastError_ = kSmtpErrorBadCommand;
    }
    return false;
}

bool CSMTPConnection::FailRead(int error, std::string text) {
    lastError_ = error;
    lastResponse_ = std::move(text);
    return false;
}

bool CSMTPConnection::ReadResponse(std::size_t bufferSize, int expectedCode, std::size_t growBy) {
    const Clock::time_point deadline = StepEnd();
    const std::size_t maxReply = std::max<std::size_t>(limits_.maxReplySize, 1);
    Clock::time_point lastArrival = Clock::now();
    std::string text = std::move(unread_);
    unread_.clear();
    std::string chunk;
    SmtpReplyParse reply = ParseSmtpReply(text);
    while (reply.state == SmtpReplyState::Incomplete) {
        // Without a bound, a hostile server could grow the reply without end.
        if (text.size() >= maxReply) {
            return FailRead(kSmtpErrorReplyTooLong, std::move(text));
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point silenceEnd = lastArrival + limits_.replyTimeout;
        if (now > silenceEnd || now >= deadline) {
            return FailRead(kSmtpErrorTimedOut, std::move(text));
        }
        // One millisecond past the silence limit, so "more than" the time-out has passed.
        const int ready = socket_.WaitReadable(std::min(silenceEnd + milliseconds(1), deadline));
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
        reply = ParseSmtpReply(text);
    }
    if (reply.state == SmtpReplyState::Malformed) {
        return FailRead(kSmtpErrorMalformedReply, std::move(text));
    }
    // Anything after the reply belongs to the next one.
    unread_ = text.substr(reply.consumed);
    text.resize(reply.consumed - 2);  // without the last line's CR LF
    lastResponseCode_ = reply.code;
    if (lastResponseCode_ == expectedCode) {
        return true;
    }
    return FailRead(kSmtpErrorUnexpectedCode, std::move(text));
}

}  // namespace tarvik
