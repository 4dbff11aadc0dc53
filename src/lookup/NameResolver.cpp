#include "lookup/NameResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarvik {

std::optional<std::string> CSystemNameResolver::Resolve(const std::string& addressText) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        inet_pton(AF_INET, addressText.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               inet_pton(AF_INET6, addressText.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
    char host[NI_MAXHOST] = {};
    const int result = getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host,
                                   sizeof host, nullptr, 0, NI_NAMEREQD);
    if (result != 0 || host[0] == '\0') {
        return std::nullopt;
    }
    return std::string(host);
}

std::string SanitizeHostName(std::string name) {
    for (char& c : name) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-' && c != '.' && c != '_') {
            c = '?';
        }
    }
    return name;
}

}  // namespace tarvik
