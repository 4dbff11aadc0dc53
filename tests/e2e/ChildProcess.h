#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::test {

struct ChildProcessOptions {
    std::optional<uid_t> runAs;  // user and group id to drop to before the exec
    std::string workingDirectory;
    bool captureOutput = false;  // standard output too, for WaitForOutputLine
};

// A program run by a test, with its standard error (and, when asked, its standard output)
// captured. Killed if the test forgets it.
class ChildProcess {
public:
    using Options = ChildProcessOptions;

    explicit ChildProcess(std::vector<std::string> args, Options options = {}) {
        int errPipe[2];
        int outPipe[2] = {-1, -1};
        if (pipe2(errPipe, O_CLOEXEC) != 0) {
            return;
        }
        if (options.captureOutput && pipe2(outPipe, O_CLOEXEC) != 0) {
            close(errPipe[0]);
            close(errPipe[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(errPipe[1], STDERR_FILENO);
            if (options.captureOutput) {
                dup2(outPipe[1], STDOUT_FILENO);
            }
            if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
                _exit(126);
            }
            if (options.runAs && (setgroups(0, nullptr) != 0 || setgid(*options.runAs) != 0 ||
                                  setuid(*options.runAs) != 0)) {
                _exit(126);
            }
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(errPipe[1]);
        errFd_ = errPipe[0];
        if (options.captureOutput) {
            close(outPipe[1]);
            outFd_ = outPipe[0];
        }
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {errFd_, outFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard error until it holds `text` at or after offset `from`; false at the
    // deadline or end of output.
    bool WaitForError(const std::string& text, std::chrono::milliseconds deadline,
                      std::size_t from = 0) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (errors_.find(text, from) == std::string::npos) {
            if (errFd_ < 0 || !ReadUntil(end)) {
                return false;
            }
        }
        return true;
    }

    // Reads standard output until a whole line satisfies `matches`; that line, or nothing at
    // the deadline or end of output. Lines read by earlier waits are looked at too.
    std::optional<std::string> WaitForOutputLine(
        const std::function<bool(const std::string&)>& matches,
        std::chrono::milliseconds deadline) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        std::size_t from = 0;
        while (true) {
            for (std::size_t eol; (eol = output_.find('\n', from)) != std::string::npos;
                 from = eol + 1) {
                std::string line = output_.substr(from, eol - from);
                if (matches(line)) {
                    return line;
                }
            }
            if (outFd_ < 0 || !ReadUntil(end)) {
                return std::nullopt;
            }
        }
    }

    // Takes what the pipes hold now, without waiting: a test that reads only in its waits calls
    // this between them, so that the child's output never piles up in a full pipe.
    void ReadWaiting() {
        while (ReadSome(0)) {
        }
    }

    // Sends the signal and waits for the exit; the exit status, or -1 after a deadline.
    int Stop(int signal, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        kill(pid_, signal);
        return Wait(deadline);
    }

    int Wait(std::chrono::milliseconds deadline) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                ReadWaiting();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ReadSome(50);
        }
        return -1;
    }

    const std::string& Errors() const { return errors_; }
    const std::string& Output() const { return output_; }
    pid_t Pid() const { return pid_; }

private:
    // Reads until something arrives or `end` passes; false at the deadline or when both
    // pipes are closed.
    bool ReadUntil(std::chrono::steady_clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        return left.count() > 0 && ReadSome(static_cast<int>(left.count()));
    }

    // Waits up to `timeoutMs` for either pipe; true when something was read or a pipe closed.
    bool ReadSome(int timeoutMs) {
        pollfd fds[2] = {{errFd_, POLLIN, 0}, {outFd_, POLLIN, 0}};  // poll skips fd -1
        if (errFd_ < 0 && outFd_ < 0) {
            poll(nullptr, 0, timeoutMs);  // both closed: wait as asked rather than spin
            return false;
        }
        const int ready = poll(fds, 2, timeoutMs);
        if (ready <= 0) {
            return ready < 0 && errno == EINTR;
        }
        const bool readErrors = fds[0].revents != 0 && ReadInto(errFd_, errors_);
        const bool readOutput = fds[1].revents != 0 && ReadInto(outFd_, output_);
        return readErrors || readOutput;
    }

    static bool ReadInto(int& fd, std::string& text) {
        char buffer[65536];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0) {
            close(fd);
            fd = -1;
        } else {
            text.append(buffer, static_cast<std::size_t>(count));
        }
        return true;
    }

    pid_t pid_ = -1;
    int errFd_ = -1;
    int outFd_ = -1;
    bool reaped_ = false;
    std::string errors_;
    std::string output_;
};

}  // namespace tarvik::test
