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
    const std::size_t size = size_ + components.size();
    if (size <= kInline) {
        std::ranges::copy(components, inline_.begin() + static_cast<std::ptrdiff_t>(size_));
    } else {
        if (size_ <= kInline) {
            heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
        }
        heap_.insert(heap_.end(), components.begin(), components.end());
    }
    size_ = size;
}

bool Oid::StartsWith(const Oid& prefix) const {
    const auto mine = Components();
    const auto theirs = prefix.Components();
    return theirs.size() <= mine.size() && std::ranges::equal(theirs, mine.first(theirs.size()));
}

std::strong_ordering Oid::operator<=>(const Oid& other) const {
    const auto mine = Components();
    const auto theirs = other.Components();
    return std::lexicographical_compare_three_way(mine.begin(), mine.end(), theirs.begin(),
                                                  theirs.end());
}

bool Oid::operator==(const Oid& other) const {
    return std::ranges::equal(Components(), other.Components());
}

std::string Oid::ToString() const {
    std::string text;
    for (std::size_t i = 0; i < size_; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string((*this)[i]);
    }
    return text;
}

}  // namespace tarvik
