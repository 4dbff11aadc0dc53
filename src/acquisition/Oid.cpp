#include "acquisition/Oid.h"

#include <algorithm>
#include <charconv>

namespace tarvik {

std::optional<Oid> Oid::Parse(std::string_view text) {
    Oid oid;
    while (!text.empty()) {
        std::uint32_t component = 0;
        const auto [end, error] =
            std::from_chars(text.data(), text.data() + text.size(), component);
        if (error != std::errc{} || end == text.data()) {
            return std::nullopt;
        }
        oid.Append(component);
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        if (!text.empty()) {
            if (text.front() != '.' || text.size() == 1) {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
    }
    return oid;
}

void Oid::Append(std::span<const std::uint32_t> components) {
    components_.insert(components_.end(), components.begin(), components.end());
}

bool Oid::StartsWith(const Oid& prefix) const {
    return prefix.size() <= size() &&
           std::equal(prefix.components_.begin(), prefix.components_.end(), components_.begin());
}

std::string Oid::ToString() const {
    std::string text;
    for (std::size_t i = 0; i < components_.size(); ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(components_[i]);
    }
    return text;
}

}  // namespace tarvik
