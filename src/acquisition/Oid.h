#pragma once

#include <array>
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
    Oid(std::initializer_list<std::uint32_t> components) { Append(components); }
    explicit Oid(const std::vector<std::uint32_t>& components) { Append(components); }

    // "1.3.6.1.2.1.6.13" -> Oid; nullopt on anything but dot-separated decimal components.
    static std::optional<Oid> Parse(std::string_view text);

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::uint32_t operator[](std::size_t index) const { return Data()[index]; }
    std::uint32_t& operator[](std::size_t index) { return Data()[index]; }
    std::span<const std::uint32_t> Components() const { return {Data(), size_}; }

    void Append(std::uint32_t component) { Append(std::span(&component, 1)); }
    void Append(std::span<const std::uint32_t> components);

    bool StartsWith(const Oid& prefix) const;
    // True when this identifier is a (not necessarily proper) prefix of `other`.
    bool IsPrefixOf(const Oid& other) const { return other.StartsWith(*this); }

    std::string ToString() const;

    std::strong_ordering operator<=>(const Oid& other) const;
    bool operator==(const Oid& other) const;

private:
    // Table instance names have about 20 components: they live inline, so that a walk does not
    // allocate for every name; longer ones move to the heap.
    static constexpr std::size_t kInline = 24;

    const std::uint32_t* Data() const { return size_ <= kInline ? inline_.data() : heap_.data(); }
    std::uint32_t* Data() { return size_ <= kInline ? inline_.data() : heap_.data(); }

    std::array<std::uint32_t, kInline> inline_{};
    std::size_t size_ = 0;
    std::vector<std::uint32_t> heap_;
};

}  // namespace tarvik
