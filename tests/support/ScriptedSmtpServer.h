#pragma once

// A mail server for tests, listening on 127.0.0.1 at an ephemeral port from construction.
// It serves connections one after another on its own thread, either by a script of steps or by
// accepting every message, and records every byte it receives. It ends by itself: after
// maxConnections, when its lifetime runs out, or on destruction.
//
//   ScriptedSmtpServer server(ScriptedSmtpServer::AcceptAll());
//   connection.Connect("127.0.0.1", server.Port());
//   ...
//   server.WaitUntilDone(std::chrono::seconds(5));
//   EXPECT_EQ(server.Messages().size(), 1u);
//
// Link the target with tarvik_scripted_smtp (tarvik_add_test(... LIBS tarvik_scripted_smtp)).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvik::test {

// One thing the server does on a connection.
struct SmtpStep {
    enum class Kind {
        Send,      // write the bytes in one call
        Trickle,   // write the bytes one at a time, `interval` apart
        ReadLine,  // wait for the next CR LF-terminated line from the client
        ReadData,  // wait for the end-of-data mark "\r\n.\r\n"
        Pause,     // do nothing for `interval`
        Close,     // hang up at once
    };
    Kind kind = Kind::Send;
    std::string bytes;
    std::chrono::milliseconds interval{0};

    static SmtpStep Send(std::string bytes) { return {Kind::Send, std::move(bytes), {}}; }
    static SmtpStep Trickle(std::string bytes, std::chrono::milliseconds interval) {
        return {Kind::Trickle, std::move(bytes), interval};
    }
    static SmtpStep ReadLine() { return {Kind::ReadLine, {}, {}}; }
    static SmtpStep ReadData() { return {Kind::ReadData, {}, {}}; }
    static SmtpStep Pause(std::chrono::milliseconds interval) {
        return {Kind::Pause, {}, interval};
    }
    static SmtpStep Close() { return {Kind::Close, {}, {}}; }
    // The usual pair: read one command, answer it.
    static std::vector<SmtpStep> Answer(std::string reply) {
        return {ReadLine(), Send(std::move(reply))};
    }
};

struct SmtpServerOptions {
    // Empty script: accept everything (220 greeting, 250 to commands, 354 to DATA, 250 after the
    // data, 221 to QUIT then hang up, 500 to anything else).
    std::vector<SmtpStep> script;
    int maxConnections = 1;
    std::chrono::milliseconds lifetime{15000};  // the thread ends by itself after this
    std::size_t maxRecorded = 1024 * 1024;      // bytes beyond this are read and dropped
    int port = 0;                               // 0: an ephemeral port on 127.0.0.1
};

class ScriptedSmtpServer {
public:
    explicit ScriptedSmtpServer(SmtpServerOptions options);
    // Accepts every message on one connection.
    ScriptedSmtpServer();
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    static SmtpServerOptions AcceptAll(int maxConnections = 1);
    // Options running the steps in order; after the last step the server reads on, recording,
    // until the client closes.
    static SmtpServerOptions Scripted(std::vector<std::vector<SmtpStep>> groups);

    // False when the listening socket could not be set up.
    bool Listening() const { return listenFd_ >= 0; }
    int Port() const { return port_; }

    // Waits until every connection allowed has been served (or the lifetime ran out).
    bool WaitUntilDone(std::chrono::milliseconds timeout);
    // Waits until the bytes received contain the text.
    bool WaitForReceived(const std::string& text, std::chrono::milliseconds timeout);

    // Every byte received, all connections in order.
    std::string Received() const;
    // The received bytes split at CR LF; an unfinished last line is left out.
    std::vector<std::string> ReceivedLines() const;
    // In accept-all mode: each message's lines between DATA and the closing "." line, as sent
    // (dots and line ends untouched).
    std::vector<std::string> Messages() const;
    int ConnectionsServed() const;

private:
    void Run(std::stop_token stop);
    void Serve(int fd, std::stop_token stop);
    void RunScript(int fd, std::stop_token stop);
    void AcceptEverything(int fd, std::stop_token stop);
    void DrainUntilClosed(int fd, std::stop_token stop);
    // Reads what is there (waiting up to a short slice); false when the client closed.
    bool ReadSome(int fd, std::stop_token stop);
    bool WaitForPending(int fd, const std::string& mark, std::stop_token stop, std::string& out);
    bool Expired(std::stop_token stop) const;
    void Record(const char* data, std::size_t size);

    SmtpServerOptions options_;
    std::chrono::steady_clock::time_point end_;
    int listenFd_ = -1;
    int port_ = 0;

    // Bytes of the current connection not yet consumed by a step; server thread only.
    std::string pending_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string received_;
    std::vector<std::string> messages_;
    int served_ = 0;
    bool done_ = false;

    std::jthread thread_;  // last: starts after everything above exists, joins first
};

}  // namespace tarvik::test
