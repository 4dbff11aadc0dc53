#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/SMTPConnection.h"
#include "support/ScriptedSmtpServer.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ScriptedSmtpServer;
using test::SmtpStep;
using Clock = std::chrono::steady_clock;

constexpr auto kServerDone = 10s;

// A message whose Date line is fixed, so the bytes on the wire can be compared whole.
class FixedDateMessage : public CSMTPMessage {
public:
    std::string Header() const override {
        return HeaderWithDate("Mon, 07 Dec 2026 09:01:25 +0100");
    }
};

// Exposes the reply reader, so single replies can be tested on a live exchange.
class ProbeConnection : public CSMTPConnection {
public:
    using CSMTPConnection::CSMTPConnection;
    using CSMTPConnection::ReadCommandResponse;
    using CSMTPConnection::SendCommand;
};

std::string HeloLine() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "HELO localhost";
    }
    return std::string("HELO ") + name;
}

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Greeting and HELO answered, so a test can go straight to the step it is about.
std::vector<SmtpStep> Greeted() {
    return {SmtpStep::Send("220 ready\r\n"), SmtpStep::ReadLine(), SmtpStep::Send("250 hello\r\n")};
}

// Greeted(), then the probe's NOOP read.
std::vector<SmtpStep> ProbeGreeted() {
    std::vector<SmtpStep> steps = Greeted();
    steps.push_back(SmtpStep::ReadLine());
    return steps;
}

std::vector<SmtpStep> AnswerQuit() {
    return SmtpStep::Answer("221 bye\r\n");
}

// Connects a probe and sends NOOP, which the server's script waits for (ProbeGreeted()) before
// its next bytes, so they can never arrive together with the HELO reply.
void ConnectProbe(ProbeConnection& connection, const ScriptedSmtpServer& server) {
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    ASSERT_TRUE(connection.SendCommand("NOOP\r\n"));
}

TEST(SmtpConnection, FullExchangePutsExactBytesOnTheWire) {
    ScriptedSmtpServer server;
    ASSERT_TRUE(server.Listening());

    FixedDateMessage message;
    message.from = CSMTPAddress("Tarvik", "tarvik@host");
    message.subject = "Alert";
    message.AddRecipient(CSMTPAddress("a@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("B", "b@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("c@x"), CSMTPMessage::kCc);
    message.AddRecipient(CSMTPAddress("hidden@x"), CSMTPMessage::kBcc);
    message.SetBody(".top\nmiddle\n.\nend\r\n");

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_TRUE(connection.SendMessage(message));
    EXPECT_TRUE(connection.Disconnect());
    EXPECT_EQ(connection.LastResponseCode(), 221);
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));

    const std::string header =
        "From: Tarvik <tarvik@host>\r\n"
        "To: a@x,B <b@x>\r\n"
        "Cc: c@x\r\n"
        "Subject: Alert\r\n"
        "Date: Mon, 07 Dec 2026 09:01:25 +0100\r\n"
        "X-Mailer: Tarvik/" TARVIK_VERSION
        "\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-type: text/plain; charset=US-ASCII\r\n"
        "\r\n";
    EXPECT_EQ(server.Received(), HeloLine() +
                                     "\r\n"
                                     "MAIL FROM:<tarvik@host>\r\n"
                                     "RCPT TO:<a@x>\r\n"
                                     "RCPT TO:<b@x>\r\n"
                                     "RCPT TO:<c@x>\r\n"
                                     "RCPT TO:<hidden@x>\r\n"
                                     "DATA\r\n" +
                                     header +
                                     "..top\r\nmiddle\r\n..\r\nend\r\n"
                                     "\r\n.\r\n"
                                     "QUIT\r\n");
}

TEST(SmtpConnection, NoRecipientsGoesStraightToData) {
    ScriptedSmtpServer server;
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    {
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        EXPECT_TRUE(connection.SendMessage(message));
    }  // destruction disconnects
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));
    const std::vector<std::string> lines = server.ReceivedLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "MAIL FROM:<tarvik@host>");
    EXPECT_EQ(lines[2], "DATA");
    EXPECT_EQ(lines.back(), "QUIT");
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_EQ(server.Messages()[0].find("To: \r\n"), server.Messages()[0].find("\r\n") + 2);
}

TEST(SmtpConnection, LineBreakInAnAddressOrHeaderFieldSendsNothing) {
    const auto withRecipient = [](std::string address) {
        CSMTPMessage message;
        message.from = CSMTPAddress("tarvik@host");
        message.AddRecipient(CSMTPAddress(std::move(address)), CSMTPMessage::kTo);
        return message;
    };
    CSMTPMessage badFrom = withRecipient("a@x");
    badFrom.from = CSMTPAddress("tarvik@host>\r\nRCPT TO:<victim@x");
    CSMTPMessage badSubject = withRecipient("a@x");
    badSubject.subject = "Alert\nBcc: victim@x";
    CSMTPMessage badName = withRecipient("a@x");
    badName.AddRecipient(CSMTPAddress("B\r\nX: y", "b@x"), CSMTPMessage::kCc);

    for (const CSMTPMessage& message :
         {withRecipient("a@x>\r\nDATA"), badFrom, badSubject, badName}) {
        ScriptedSmtpServer server;
        CSMTPConnection connection;
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        EXPECT_FALSE(connection.SendMessage(message));
        EXPECT_EQ(connection.LastError(), kSmtpErrorUnsafeText);
        EXPECT_TRUE(connection.Disconnect());
        ASSERT_TRUE(server.WaitUntilDone(kServerDone));
        EXPECT_EQ(server.Received(), HeloLine() + "\r\nQUIT\r\n");
    }
}

TEST(SmtpConnection, RefusedRecipientStopsBeforeDataAndQuitStillFollows) {
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
        {Greeted(), SmtpStep::Answer("250 sender ok\r\n"), SmtpStep::Answer("250 first ok\r\n"),
         SmtpStep::Answer("550 no such user\r\n"), AnswerQuit()}));
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    message.AddRecipient(CSMTPAddress("a@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("b@x"), CSMTPMessage::kTo);
    message.AddRecipient(CSMTPAddress("c@x"), CSMTPMessage::kCc);

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_FALSE(connection.SendMessage(message));
    EXPECT_EQ(connection.LastError(), kSmtpErrorBadCommand);
    EXPECT_EQ(connection.LastResponse(), "550 no such user");
    EXPECT_EQ(connection.LastResponseCode(), 550);
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));

    EXPECT_EQ(server.ReceivedLines(),
              (std::vector<std::string>{HeloLine(), "MAIL FROM:<tarvik@host>", "RCPT TO:<a@x>",
                                        "RCPT TO:<b@x>", "QUIT"}));
}

TEST(SmtpConnection, RejectedGreetingOrHeloFailsAfterQuit) {
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
        {{SmtpStep::Send("554 go away\r\n")}, SmtpStep::Answer("221 bye\r\n")}));
    CSMTPConnection connection;
    EXPECT_FALSE(connection.Connect("127.0.0.1", server.Port()));
    // The QUIT was acknowledged, so the refusal's own error stands.
    EXPECT_EQ(connection.LastError(), kSmtpErrorUnexpectedCode);
    EXPECT_EQ(connection.LastResponse(), "554 go away");
    EXPECT_FALSE(connection.Disconnect());  // no longer connected
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));
    EXPECT_EQ(server.ReceivedLines(), std::vector<std::string>{"QUIT"});

    ScriptedSmtpServer refusesHelo(ScriptedSmtpServer::Scripted({{SmtpStep::Send("220 hi\r\n")},
                                                                 SmtpStep::Answer("501 bad\r\n"),
                                                                 SmtpStep::Answer("500 no\r\n")}));
    CSMTPConnection second;
    EXPECT_FALSE(second.Connect("127.0.0.1", refusesHelo.Port()));
    EXPECT_EQ(second.LastError(), kSmtpErrorBadCommand);
    EXPECT_EQ(second.LastResponse(), "500 no");
}

TEST(SmtpConnection, LongRepliesAreReadWhole) {
    const std::string longGreeting = "220 " + std::string(5000, 'g');
    const std::string longRefusal = "550 " + std::string(300, 'r');
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted({{SmtpStep::Send(longGreeting + "\r\n")},
                                                            SmtpStep::Answer(longRefusal + "\r\n"),
                                                            AnswerQuit()}));
    CSMTPConnection connection;
    EXPECT_FALSE(connection.Connect("127.0.0.1", server.Port()));
    // Had the greeting been cut short, its tail would have been taken for the HELO reply.
    EXPECT_EQ(connection.LastResponse(), longRefusal);
    EXPECT_EQ(connection.LastResponseCode(), 221);
}

TEST(SmtpConnection, MultiLineRepliesAreReadWhole) {
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted({
        {SmtpStep::Send("220-mx.example.org\r\n220-no unsolicited mail\r\n220 ready\r\n")},
        SmtpStep::Answer("250-mx.example.org\r\n250-SIZE 1000000\r\n250 HELP\r\n"),
        // MAIL FROM: one byte per send.
        {SmtpStep::ReadLine(), SmtpStep::Trickle("250-sender\r\n250 ok\r\n", 2ms)},
        // RCPT TO: a line per packet, with pauses between.
        {SmtpStep::ReadLine(), SmtpStep::Send("250-a\r\n"), SmtpStep::Pause(50ms),
         SmtpStep::Send("250-b\r\n"), SmtpStep::Pause(50ms), SmtpStep::Send("250 c\r\n")},
        SmtpStep::Answer("354 go ahead\r\n"),
        {SmtpStep::ReadData(), SmtpStep::Send("250-queued\r\n250 as 42\r\n")},
        SmtpStep::Answer("221-bye\r\n221 closing\r\n"),
    }));
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    message.AddRecipient(CSMTPAddress("a@x"), CSMTPMessage::kTo);

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << connection.LastResponse();
    EXPECT_TRUE(connection.SendMessage(message)) << connection.LastResponse();
    EXPECT_TRUE(connection.Disconnect()) << connection.LastResponse();
    EXPECT_EQ(connection.LastResponseCode(), 221);
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));
    const std::vector<std::string> lines = server.ReceivedLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "MAIL FROM:<tarvik@host>");
    EXPECT_EQ(lines[2], "RCPT TO:<a@x>");
    EXPECT_EQ(lines.back(), "QUIT");
}

TEST(SmtpConnection, MultiLineRefusalKeepsEveryLine) {
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
        {Greeted(), SmtpStep::Answer("550-no such\r\n550 user here\r\n"), AnswerQuit()}));
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_FALSE(connection.SendMessage(message));
    EXPECT_EQ(connection.LastResponse(), "550-no such\r\n550 user here");
    EXPECT_EQ(connection.LastResponseCode(), 550);
    EXPECT_TRUE(connection.Disconnect());  // the refusal left nothing behind to misread
}

TEST(SmtpConnection, MalformedRepliesFail) {
    for (const std::string reply :
         {"250-first\r\n251 other\r\n", "250-first\r\nsecond\r\n", "hello there\r\n"}) {
        ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
            {ProbeGreeted(), {SmtpStep::Send(reply), SmtpStep::Close()}}));
        ProbeConnection connection;
        ConnectProbe(connection, server);
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(connection.ReadCommandResponse(250)) << reply;
        EXPECT_EQ(connection.LastError(), kSmtpErrorMalformedReply) << reply;
        EXPECT_LT(MillisecondsSince(start), 1500) << "not by the silence limit: " << reply;
    }
}

TEST(SmtpConnection, SilentServerTimesOutAfterTheSilenceLimit) {
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted({ProbeGreeted(), AnswerQuit()}));
    ProbeConnection connection;
    ConnectProbe(connection, server);
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.ReadCommandResponse(250));
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(connection.LastError(), kSmtpErrorTimedOut);
    EXPECT_EQ(connection.LastResponse(), "");
    EXPECT_GE(elapsed, 2000);
    EXPECT_LT(elapsed, 10000);
}

TEST(SmtpConnection, ServerThatNeverGreetsFailsConnectAfterTwoSilences) {
    CSMTPConnection::Limits limits;
    limits.replyTimeout = 300ms;
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted({{SmtpStep::Pause(0ms)}}));
    CSMTPConnection connection(limits);
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_GE(MillisecondsSince(start), 600);  // greeting wait, then QUIT wait
    EXPECT_EQ(connection.LastError(), kSmtpErrorBadCommand);
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));
    EXPECT_EQ(server.Received(), "QUIT\r\n");
}

TEST(SmtpConnection, ClosedConnectionFailsAtOnce) {
    CSMTPConnection::Limits limits;
    limits.replyTimeout = 20s;  // far above what the test may take
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
        {ProbeGreeted(), {SmtpStep::Send("250 par"), SmtpStep::Close()}}));
    ProbeConnection connection(limits);
    ConnectProbe(connection, server);

    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.ReadCommandResponse(250));
    EXPECT_EQ(connection.LastError(), kSmtpErrorClosed);
    EXPECT_EQ(connection.LastResponse(), "250 par");
    EXPECT_LT(MillisecondsSince(start), 10000);

    // Writing on is refused with an error; a SIGPIPE would have ended the test program.
    bool refused = false;
    for (int attempt = 0; attempt < 50 && !refused; ++attempt) {
        refused = !connection.SendCommand("NOOP\r\n");
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(connection.LastError() == EPIPE || connection.LastError() == ECONNRESET)
        << connection.LastError();
    EXPECT_FALSE(connection.Disconnect());
}

TEST(SmtpConnection, LargeBodyIsSentWhole) {
    ScriptedSmtpServer server;
    FixedDateMessage message;
    message.from = CSMTPAddress("tarvik@host");
    std::string body;
    std::string wire;
    for (int i = 0; body.size() < 2 * 1024 * 1024; ++i) {
        body += "line " + std::to_string(i) + "\n";
        wire += "line " + std::to_string(i) + "\r\n";
    }
    message.SetBody(body);

    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    EXPECT_TRUE(connection.SendMessage(message));
    EXPECT_TRUE(connection.Disconnect());
    ASSERT_TRUE(server.WaitUntilDone(kServerDone));
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_EQ(server.Messages()[0], message.Header() + wire + "\r\n");
}

TEST(SmtpConnection, HangingConnectIsBounded) {
    // A listener whose accept queue is full drops further handshakes, so connect hangs.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);

    CSMTPConnection::Limits limits;
    limits.connectTimeout = 200ms;
    limits.replyTimeout = 100ms;
    std::vector<std::unique_ptr<CSMTPConnection>> fillers;
    bool timedOut = false;
    for (int attempt = 0; attempt < 8 && !timedOut; ++attempt) {
        auto connection = std::make_unique<CSMTPConnection>(limits);
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(connection->Connect("127.0.0.1", port));
        timedOut = connection->LastError() == ETIMEDOUT && MillisecondsSince(start) >= 200;
        EXPECT_LT(MillisecondsSince(start), 5000);
        fillers.push_back(std::move(connection));
    }
    EXPECT_TRUE(timedOut);
    ::close(listener);
}

TEST(SmtpConnection, ReplyOverTheSizeLimitFails) {
    CSMTPConnection::Limits limits;
    limits.maxReplySize = 1000;
    const std::string fits = "250 " + std::string(994, 'f');  // 1000 bytes with its CR LF
    ScriptedSmtpServer server(
        ScriptedSmtpServer::Scripted({ProbeGreeted(),
                                      {SmtpStep::Send(fits + "\r\n"), SmtpStep::Pause(200ms)},
                                      {SmtpStep::Send("250 " + std::string(3000, 'o'))}}));
    ProbeConnection connection(limits);
    ConnectProbe(connection, server);

    EXPECT_TRUE(connection.ReadCommandResponse(250));
    EXPECT_FALSE(connection.ReadCommandResponse(250));
    EXPECT_EQ(connection.LastError(), kSmtpErrorReplyTooLong);
    EXPECT_EQ(connection.LastResponse(), "250 " + std::string(996, 'o'));
}

TEST(SmtpConnection, TricklingServerFailsAtTheStepDeadline) {
    CSMTPConnection::Limits limits;
    limits.stepDeadline = 500ms;
    const std::string slow = "250 this reply takes several seconds to arrive\r\n";
    ScriptedSmtpServer server(
        ScriptedSmtpServer::Scripted({ProbeGreeted(), {SmtpStep::Trickle(slow, 100ms)}}));
    ProbeConnection connection(limits);
    ConnectProbe(connection, server);

    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.ReadCommandResponse(250));
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(connection.LastError(), kSmtpErrorTimedOut);
    EXPECT_FALSE(connection.LastResponse().empty());
    EXPECT_EQ(slow.rfind(connection.LastResponse(), 0), 0u);  // a prefix of what was sent
    EXPECT_GE(elapsed, 500);
    EXPECT_LT(elapsed, 4000);  // the whole reply would take about 5 s
}

// A reply that keeps coming a byte at a time, never finishing within any test's patience.
std::vector<SmtpStep> EndlessReply() {
    return {SmtpStep::Trickle("250 " + std::string(400, 'x') + "\r\n", 20ms)};
}

TEST(SmtpConnection, AbortFromAnotherThreadEndsTheExchangeAtOnce) {
    ScriptedSmtpServer server(
        ScriptedSmtpServer::Scripted({Greeted(), {SmtpStep::ReadLine()}, EndlessReply()}));
    auto abort = std::make_shared<CSmtpAbort>();
    CSMTPMessage message;
    message.from = CSMTPAddress("tarvik@host");
    CSMTPConnection connection(CSMTPConnection::Limits{}, abort);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));

    Clock::time_point abortedAt;
    std::thread aborter([&] {
        // Abort once the server has begun its endless reply to MAIL FROM.
        server.WaitForReceived("MAIL FROM", 5s);
        std::this_thread::sleep_for(100ms);
        abortedAt = Clock::now();
        abort->Abort();
    });
    EXPECT_FALSE(connection.SendMessage(message));
    const Clock::time_point returnedAt = Clock::now();
    aborter.join();
    EXPECT_EQ(connection.LastError(), kSmtpErrorAborted);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - abortedAt).count(),
              500);

    // The rest of the exchange, and every later one sharing the abort, fail without waiting.
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.Disconnect());
    ScriptedSmtpServer second;
    CSMTPConnection later(CSMTPConnection::Limits{}, abort);
    EXPECT_FALSE(later.Connect("127.0.0.1", second.Port()));
    EXPECT_EQ(later.LastError(), kSmtpErrorAborted);
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_EQ(second.ConnectionsServed(), 0);
    EXPECT_EQ(second.Received(), "");
}

TEST(SmtpConnection, WholeExchangeIsBoundedAcrossSteps) {
    // Each reply takes about 0.6 s, well within the silence and step limits, but the exchange
    // as a whole has 1 s.
    CSMTPConnection::Limits limits;
    limits.exchangeDeadline = 1s;
    ScriptedSmtpServer server(ScriptedSmtpServer::Scripted(
        {{SmtpStep::Trickle("220 greeting ready\r\n", 30ms)},
         {SmtpStep::ReadLine(), SmtpStep::Trickle("250 hello to you\r\n", 30ms)},
         AnswerQuit()}));
    CSMTPConnection connection(limits);
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(connection.Connect("127.0.0.1", server.Port()));
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 3000);

    // A server that trickles one reply for ever is cut at the same bound.
    ScriptedSmtpServer endless(ScriptedSmtpServer::Scripted({EndlessReply()}));
    CSMTPConnection cut(limits);
    const Clock::time_point cutStart = Clock::now();
    EXPECT_FALSE(cut.Connect("127.0.0.1", endless.Port()));
    EXPECT_EQ(cut.LastError(),
              kSmtpErrorBadCommand);  // the greeting timed out, then QUIT had no time
    EXPECT_GE(MillisecondsSince(cutStart), 1000);
    EXPECT_LT(MillisecondsSince(cutStart), 3000);
}

TEST(SmtpConnection, BadTargetsFailWithoutAnExchange) {
    CSMTPConnection connection;
    EXPECT_FALSE(connection.Connect("127.0.0.1", 0));
    EXPECT_EQ(connection.LastError(), kSmtpErrorBadHost);
    EXPECT_FALSE(connection.Connect("127.0.0.1", 70000));
    EXPECT_EQ(connection.LastError(), kSmtpErrorBadHost);

    // A bound port with no listener refuses.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_FALSE(connection.Connect("127.0.0.1", ntohs(address.sin_port)));
    EXPECT_EQ(connection.LastError(), ECONNREFUSED);
    ::close(fd);

    EXPECT_FALSE(connection.Disconnect());

    CSMTPConnection neverConnected;
    EXPECT_FALSE(neverConnected.SendMessage(CSMTPMessage()));
    EXPECT_EQ(neverConnected.LastError(), ENOTCONN);
    EXPECT_FALSE(neverConnected.Disconnect());
}

TEST(SmtpConnection, HostNameIsResolved) {
    ScriptedSmtpServer server;
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("localhost", server.Port()));
    EXPECT_TRUE(connection.Disconnect());
}

}  // namespace
}  // namespace tarvik
