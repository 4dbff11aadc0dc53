#include "lookup/HostNameCache.h"

#include <utility>

namespace tarvik {

CHostNameCache::CHostNameCache(std::unique_ptr<INameResolver> resolver)
    : resolver_(std::move(resolver)) {}

std::optional<std::string> CHostNameCache::Lookup(const std::string& address) {
    if (address == "n/a") {
        return std::nullopt;
    }
    if (auto cached = names_.find(address); cached != names_.end()) {
        return cached->second;
    }
    std::optional<std::string> name;
    if (resolver_) {
        name = resolver_->Resolve(address);
    }
    if (name && !name->empty()) {
        std::string clean = SanitizeHostName(std::move(*name));
        names_.emplace(address, clean);
        return clean;
    }
    names_.emplace(address, address);
    return std::nullopt;
}

}  // namespace tarvik
