#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "base/UniqueFd.h"

namespace tarvik {

// Where the control socket is when nobody says: /run/tarvik/tarvikd.sock for root,
// $XDG_RUNTIME_DIR/tarvik/tarvikd.sock for a user; none for a user without a runtime folder.
std::optional<std::filesystem::path> DefaultControlSocketPath();

// The socket path asked for by --socket or [General] socket: "none" or empty turn the socket
// off (nullopt), "default" is DefaultControlSocketPath().
std::optional<std::filesystem::path> ControlSocketPathFor(const std::string& setting);

// The listening socket the service manager handed over (LISTEN_FDS, LISTEN_PID), made
// non-blocking; invalid when there is none. The variables are cleared, so that children do not
// take it too.
UniqueFd InheritedControlListener();

// A listening socket of this process at a path.
struct ControlListener {
    UniqueFd fd;
    std::filesystem::path path;  // empty when inherited: the service manager removes it
    dev_t device = 0;            // the socket file made, so that only it is removed
    ino_t inode = 0;
};

// Makes the socket at `path`, in a folder made 0755 when missing, 0660 with group `group`
// when given (else 0600). Refuses a path where a file that is not a socket, or another user's
// file, stands; a socket of ours that nobody answers on is replaced, one that answers is
// another monitor's. Invalid fd with the reason in `error`.
ControlListener BindControlSocket(const std::filesystem::path& path, std::optional<gid_t> group,
                                  std::string* error);
// Removes the socket file when it is still the one made.
void RemoveControlSocket(const ControlListener& listener);

// A connected, blocking client socket; invalid with errno set when not.
UniqueFd ConnectControlSocket(const std::filesystem::path& path);

}  // namespace tarvik
