#include "lookup/HostNameCache.h"

#include <utility>

namespace tarvik {

CHostNameCache::CHostNameCache(std::unique_ptr<INameResolver> resolver)
    : resolver_(std::move(resolver)) {}

std::optional<std::string> CHostNameCache::Lookup(const std::string& address) {
    if (address == "n/a") {
        return std::nullopt;
    }
    if (auto cached = Find(address)) {
        return cached;
    }
    std::optional<std::string> name;
    if (resolver_) {
        name = resolver_->Resolve(address);
    }
    return Store(address, std::move(name));
}

std::optional<std::string> CHostNameCache::Find(const std::string& address) const {
    if (auto cached = names_.find(address); cached != names_.end()) {
        return cached->second;
    }
    return std::nullopt;
}

std::optional<std::string> CHostNameCache::Store(const std::string& address,
                                                 std::optional<std::string> resolved) {
    if (resolved && !resolved->empty()) {
        std::string clean = SanitizeHostName(std::move(*resolved));
        names_.insert_or_assign(address, clean);
        return clean;
    }
    names_.emplace(address, address);
    return std::nullopt;
}

}  // namespace tarvik
