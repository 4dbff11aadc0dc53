#pragma once

#include <compare>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// An object identifier: a sequence of unsigned components, ordered lexicographically, so that
// a prefix sorts before everything that extends it (the order GETNEXT walks in).
class Oid {
public:
    Oid() = default;
    Oid(std::initializer_list<std::uint32_t> components) : components_(components) {}
    explicit Oid(std::vector<std::uint32_t> components) : components_(std::move(components)) {}

    // "1.3.6.1.2.1.6.13" -> Oid; nullopt on anything but dot-separated decimal components.
    static std::optional<Oid> Parse(std::string_view text);

    std::size_t size() const { return components_.size(); }
    bool empty() const { return components_.empty(); }
    std::uint32_t operator[](std::size_t index) const { return components_[index]; }
    std::uint32_t& operator[](std::size_t index) { return components_[index]; }
    std::span<const std::uint32_t> Components() const { return components_; }

    void Append(std::uint32_t component) { components_.push_back(component); }
    void Append(std::span<const std::uint32_t> components);

    bool StartsWith(const Oid& prefix) const;
    // True when this identifier is a (not necessarily proper) prefix of `other`.
    bool IsPrefixOf(const Oid& other) const { return other.StartsWith(*this); }

    std::string ToString() const;

    auto operator<=>(const Oid&) const = default;
    bool operator==(const Oid&) const = default;

private:
    std::vector<std::uint32_t> components_;
};

}  // namespace tarvik
