#include "lookup/NameResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarvik {

std::optional<std::string> CSystemNameResolver::Resolve(const std::string& ipv4Text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, ipv4Text.c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    char host[NI_MAXHOST] = {};
    const int result = getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                   host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (result != 0 || host[0] == '\0') {
        return std::nullopt;
    }
    return std::string(host);
}

std::string SanitizeHostName(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == ',') {
            c = '?';
        }
    }
    return name;
}

}  // namespace tarvik
