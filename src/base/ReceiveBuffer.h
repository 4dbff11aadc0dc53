#pragma once

#include <sys/socket.h>

namespace tarvik {

// Asks for a receive buffer of `bytes`: past the system's limit when the process has
// CAP_NET_ADMIN, up to that limit otherwise. Best effort: a smaller buffer only means that a
// burst overflows sooner, which the readers detect and report.
inline void RaiseReceiveBuffer(int fd, int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

}  // namespace tarvik
