#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::test {

// A program run by a test, with its standard error captured. Killed if the test forgets it.
class ChildProcess {
public:
    struct Options {
        std::optional<uid_t> runAs;  // user and group id to drop to before the exec
        std::string workingDirectory;
    };

    explicit ChildProcess(std::vector<std::string> args, Options options = {}) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
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
        close(pipeFds[1]);
        errFd_ = pipeFds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (errFd_ >= 0) {
            close(errFd_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard error until it holds `text`; false at the deadline or end of output.
    bool WaitForError(const std::string& text, std::chrono::milliseconds deadline) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (errors_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
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
                while (ReadSome(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ReadSome(50);
        }
        return -1;
    }

    const std::string& Errors() const { return errors_; }
    pid_t Pid() const { return pid_; }

private:
    bool ReadSome(int timeoutMs) {
        pollfd fd{errFd_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) {
            return timeoutMs > 0;  // nothing yet: keep waiting until the deadline
        }
        char buffer[4096];
        const ssize_t count = read(errFd_, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        errors_.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    pid_t pid_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    std::string errors_;
};

}  // namespace tarvik::test
