#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "lookup/NameResolver.h"

namespace tarvik {

// Host names by address for the life of the reverse lookup worker. Each distinct address is
// looked up once; a failed lookup is remembered as the address text itself. Entries are never
// refreshed.
class CHostNameCache {
public:
    explicit CHostNameCache(std::unique_ptr<INameResolver> resolver);

    // The name to answer a request with, or nothing: for a listening port ("n/a"), and the
    // first time an address does not resolve (later requests answer with the address text).
    std::optional<std::string> Lookup(const std::string& address);

    // The cached value of an address (a name, or the address text after a failed lookup), or
    // nothing when it was never looked up.
    std::optional<std::string> Find(const std::string& address) const;
    // Stores the result of a lookup made elsewhere and returns what to answer with, as Lookup.
    std::optional<std::string> Store(const std::string& address,
                                     std::optional<std::string> resolved);

    std::size_t Size() const { return names_.size(); }

private:
    std::unique_ptr<INameResolver> resolver_;
    std::map<std::string, std::string> names_;
};

}  // namespace tarvik
