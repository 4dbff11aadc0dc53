#include "app/ControlSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvik {

namespace {

constexpr int kFirstInheritedFd = 3;  // SD_LISTEN_FDS_START

std::optional<sockaddr_un> UnixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.empty() || text.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

std::string Reason(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// The folder the socket goes in: made 0755 when missing; an existing one must be a folder of
// ours or root's, so that nobody else can swap the socket.
bool PrepareFolder(const std::filesystem::path& folder, std::string* error) {
    if (folder.empty()) {
        return true;
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = Reason("cannot make " + folder.string(), errno);
        return false;
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        *error = Reason("cannot look at " + folder.string(), errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || (info.st_uid != 0 && info.st_uid != geteuid())) {
        *error = folder.string() + " is not a folder of this user or root";
        return false;
    }
    return true;
}

// Whether something answers on the socket at `address`.
bool Answers(const sockaddr_un& address) {
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe &&
           connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Clears the way for a new socket at `path`: nothing there, or a stale socket of ours.
bool ClearPath(const std::filesystem::path& path, const sockaddr_un& address, std::string* error) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = Reason("cannot look at " + path.string(), errno);
        return false;
    }
    if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) {
        *error = path.string() + " exists and is not a socket of this user; not replaced";
        return false;
    }
    if (Answers(address)) {
        *error = path.string() + " is in use by another monitor";
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = Reason("cannot remove the stale " + path.string(), errno);
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::filesystem::path> DefaultControlSocketPath() {
    if (geteuid() == 0) {
        return std::filesystem::path("/run/tarvik/tarvikd.sock");
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(runtime) / "tarvik" / "tarvikd.sock";
}

std::optional<std::filesystem::path> ControlSocketPathFor(const std::string& setting) {
    if (setting.empty() || setting == "none") {
        return std::nullopt;
    }
    if (setting == "default") {
        return DefaultControlSocketPath();
    }
    return std::filesystem::path(setting);
}

UniqueFd InheritedControlListener() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    const bool ours = pid != nullptr && count != nullptr &&
                      std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()) &&
                      std::strtol(count, nullptr, 10) >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours) {
        return UniqueFd();
    }
    const int fd = kFirstInheritedFd;
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    sockaddr_un address{};
    socklen_t addressLength = sizeof address;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM ||
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &(length = sizeof listening)) != 0 ||
        listening == 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0 ||
        address.sun_family != AF_UNIX) {
        return UniqueFd();
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return UniqueFd(fd);
}

ControlListener BindControlSocket(const std::filesystem::path& path, std::optional<gid_t> group,
                                  std::string* error) {
    ControlListener listener;
    const auto address = UnixAddress(path);
    if (!address) {
        *error = "the socket path '" + path.string() + "' is empty or too long";
        return listener;
    }
    if (!PrepareFolder(path.parent_path(), error) || !ClearPath(path, *address, error)) {
        return listener;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        *error = Reason("cannot make " + path.string(), errno);
        return listener;
    }
    // The peer's credentials decide on each connection; the mode keeps others from connecting
    // at all.
    const bool grouped = group && chown(path.c_str(), static_cast<uid_t>(-1), *group) == 0;
    struct stat info {};
    if (chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || lstat(path.c_str(), &info) != 0 ||
        listen(fd.Get(), SOMAXCONN) != 0) {
        *error = Reason("cannot set up " + path.string(), errno);
        unlink(path.c_str());
        return listener;
    }
    listener.fd = std::move(fd);
    listener.path = path;
    listener.device = info.st_dev;
    listener.inode = info.st_ino;
    return listener;
}

void RemoveControlSocket(const ControlListener& listener) {
    struct stat info {};
    if (!listener.path.empty() && lstat(listener.path.c_str(), &info) == 0 &&
        info.st_dev == listener.device && info.st_ino == listener.inode) {
        unlink(listener.path.c_str());
    }
}

UniqueFd ConnectControlSocket(const std::filesystem::path& path) {
    const auto address = UnixAddress(path);
    if (!address) {
        errno = ENAMETOOLONG;
        return UniqueFd();
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd ||
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        const int error = errno;
        fd.Reset();
        errno = error;
    }
    return fd;
}

}  // namespace tarvik
