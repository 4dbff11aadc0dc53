#pragma once

#include <optional>
#include <string>

namespace tarvik {

// A blocking reverse lookup of one IPv4 or IPv6 address. Implementations are called one at a time,
// from the reverse lookup worker's resolver thread, which may outlive the worker.
class INameResolver {
public:
    virtual ~INameResolver() = default;
    // The address's official host name, or nothing when the name service has none.
    virtual std::optional<std::string> Resolve(const std::string& addressText) = 0;
};

// The system's name service (getnameinfo, which unlike gethostbyaddr is thread-safe).
class CSystemNameResolver : public INameResolver {
public:
    std::optional<std::string> Resolve(const std::string& addressText) override;
};

// A name fit for the list and the comma-separated log, whose fields are never quoted: every byte
// outside the host-name alphabet (letters, digits, '-', '.', '_') becomes '?'. DNS answers are
// checked by the C library, but /etc/hosts and other name services may hand over commas (which
// would shift every later field), line breaks, spaces, formula signs or bytes in any encoding.
std::string SanitizeHostName(std::string name);

}  // namespace tarvik
