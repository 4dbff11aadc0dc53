#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/UniqueFd.h"
#include "mail/SMTPMessage.h"
#include "mail/SmtpAbort.h"

namespace tarvik {

// Last-error values are errno numbers throughout: the platform's own for failed socket calls,
// and these for the mail exchange's own outcomes.
inline constexpr int kSmtpErrorTimedOut = ETIMEDOUT;              // no reply in time
inline constexpr int kSmtpErrorUnexpectedCode = EPROTONOSUPPORT;  // a reply with another code
inline constexpr int kSmtpErrorBadHost = EINVAL;                  // name does not resolve, bad port
inline constexpr int kSmtpErrorBadCommand = EBADMSG;              // the server refused a command
inline constexpr int kSmtpErrorClosed = ECONNRESET;               // the server hung up mid-reply
inline constexpr int kSmtpErrorReplyTooLong = EMSGSIZE;           // reply over the size limit
inline constexpr int kSmtpErrorUnsafeText = EILSEQ;  // a line break in an address or header field
inline constexpr int kSmtpErrorAborted = ECANCELED;  // another thread ended the exchange
inline constexpr int kSmtpErrorMalformedReply = EPROTO;  // bytes that are no reply

// One TCP stream socket, closed on destruction. Non-blocking underneath; every wait is bounded
// by the deadline the caller passes and ends at once when the abort (if any) is raised.
class CSMTPSocket {
public:
    using Clock = std::chrono::steady_clock;

    CSMTPSocket() = default;

    // A socket of the family (AF_INET or AF_INET6).
    bool Create(int family);
    // Resolves the host (an address is used as it is, a name's first address taken), creates a
    // socket of its family and connects it.
    bool Connect(const std::string& host, int port, Clock::time_point deadline);
    // Sends every byte or fails; a closed peer gives an error, never a signal.
    bool Send(std::string_view bytes, Clock::time_point deadline);
    // One receive: a byte count, 0 when the peer has closed, -1 on error (EAGAIN included).
    long Receive(char* buffer, std::size_t size);
    // 1 readable (or closed), 0 nothing by the deadline, -1 on error or abort (see Error()).
    int WaitReadable(Clock::time_point deadline);
    void Close();

    // Not owned; must outlive the socket's waits.
    void SetAbort(const CSmtpAbort* abort) { abort_ = abort; }

    bool IsOpen() const { return fd_.Valid(); }
    // errno of the last failed operation.
    int Error() const { return error_; }

private:
    bool Fail(int error);
    bool Aborted() const { return abort_ != nullptr && abort_->Aborted(); }
    // 1 ready, 0 deadline passed, -1 error or abort (error_ set).
    int WaitFor(short events, Clock::time_point deadline);
    bool WaitWritable(Clock::time_point deadline);

    UniqueFd fd_;
    int error_ = 0;
    const CSmtpAbort* abort_ = nullptr;
};

// Delivers one message over plain SMTP: HELO, MAIL FROM, RCPT TO, DATA, QUIT. Every call
// blocks, each reply wait at most the reply time-out of silence and the step deadline, and the
// whole exchange from Connect on at most the exchange deadline. Raising the abort ends any wait
// at once.
class CSMTPConnection {
public:
    struct Limits {
        std::chrono::milliseconds replyTimeout{2000};   // longest silence while waiting
        std::chrono::milliseconds stepDeadline{30000};  // longest wait for one reply or send
        std::chrono::milliseconds connectTimeout{10000};
        std::chrono::milliseconds exchangeDeadline{60000};  // Connect to Disconnect, in all
        std::size_t maxReplySize = 64 * 1024;
    };

    CSMTPConnection();
    explicit CSMTPConnection(Limits limits, std::shared_ptr<const CSmtpAbort> abort = nullptr);
    virtual ~CSMTPConnection();
    CSMTPConnection(const CSMTPConnection&) = delete;
    CSMTPConnection& operator=(const CSMTPConnection&) = delete;

    // True when the server greeted with 220 and accepted HELO with 250.
    bool Connect(const std::string& host, int port = 25);
    // True when the server accepted the whole message.
    bool SendMessage(const CSMTPMessage& message);
    // Sends QUIT when connected; true when the server acknowledged it. Always closes.
    bool Disconnect();

    // The last reply that failed, or what had arrived when a read failed.
    const std::string& LastResponse() const { return lastResponse_; }
    // The code of the last complete reply.
    int LastResponseCode() const { return lastResponseCode_; }
    int LastError() const { return lastError_; }

protected:
    virtual bool ReadCommandResponse(int expectedCode);
    // Waits for one whole reply, multi-line ones included; reads at most bufferSize - 1 bytes
    // per receive, growing by growBy when a receive fills the room offered. Bytes after the
    // reply are kept for the next one.
    virtual bool ReadResponse(std::size_t bufferSize, int expectedCode, std::size_t growBy);

    // Sends every byte within the step deadline.
    bool SendCommand(std::string_view command);

private:
    bool SendAndExpect(std::string_view command, int expectedCode);
    bool SendRecipients(const CSMTPMessage& message);
    bool SendText(const CSMTPMessage& message);
    bool FailRead(int error, std::string text);
    // A command's reply failed: the refusal's error, unless the exchange was aborted.
    bool FailCommand();
    // The earlier of the step's own deadline and the end of the exchange.
    CSMTPSocket::Clock::time_point StepEnd() const;

    Limits limits_;
    std::shared_ptr<const CSmtpAbort> abort_;
    CSMTPSocket::Clock::time_point exchangeEnd_;
    CSMTPSocket socket_;
    std::string unread_;  // received after the last reply
    bool connected_ = false;
    std::string lastResponse_;
    int lastResponseCode_ = 0;
    int lastError_ = 0;
};

}  // namespace tarvik
