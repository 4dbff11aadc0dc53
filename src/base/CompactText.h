#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tarvik {

// An immutable text in 16 bytes: up to 15 characters are held inline, a longer text in one
// block on the heap that every copy shares. A connection record carries six texts (addresses,
// names, the service) and is copied by the hundred thousand on a first read of a large table:
// a std::string would be twice the size, and a copy of a longer text (an IPv6 address, a host
// name) a new heap block. Every IPv4 address text and every process name fits inline.
// A copy may go to another thread: the shared block is counted atomically.
class CompactText {
public:
    static constexpr std::size_t kInlineCapacity = 15;

    CompactText() noexcept = default;
    CompactText(std::string_view text);  // NOLINT: implicit, it stands in for a std::string
    CompactText(const std::string& text) : CompactText(std::string_view(text)) {}  // NOLINT
    CompactText(const char* text) : CompactText(std::string_view(text)) {}         // NOLINT
    CompactText(const CompactText& other) noexcept;
    CompactText(CompactText&& other) noexcept;
    CompactText& operator=(const CompactText& other) noexcept;
    CompactText& operator=(CompactText&& other) noexcept;
    ~CompactText() { Release(); }

    std::string_view View() const noexcept;
    operator std::string_view() const noexcept { return View(); }  // NOLINT
    operator std::string() const { return std::string(View()); }   // NOLINT
    std::string Str() const { return std::string(View()); }

    const char* data() const noexcept { return View().data(); }
    std::size_t size() const noexcept { return View().size(); }
    bool empty() const noexcept { return size() == 0; }
    // True when the characters live in a shared block (tests).
    bool Shared() const noexcept { return bytes_[kTag] == kSharedTag; }

    friend bool operator==(const CompactText& a, const CompactText& b) noexcept {
        return a.View() == b.View();
    }
    friend bool operator==(const CompactText& a, std::string_view b) noexcept {
        return a.View() == b;
    }
    friend bool operator==(const CompactText& a, const std::string& b) noexcept {
        return a.View() == b;
    }
    friend bool operator==(const CompactText& a, const char* b) noexcept {
        return a.View() == std::string_view(b);
    }
    friend std::strong_ordering operator<=>(const CompactText& a, const CompactText& b) noexcept {
        return a.View() <=> b.View();
    }

private:
    struct Block;
    static constexpr std::size_t kTag = 15;  // inline: the length; else kSharedTag
    static constexpr char kSharedTag = static_cast<char>(0xff);

    Block* SharedBlock() const noexcept;
    void Release() noexcept;

    alignas(8) std::array<char, 16> bytes_{};
};

std::ostream& operator<<(std::ostream& out, const CompactText& text);
std::string operator+(std::string a, const CompactText& b);
std::string operator+(const CompactText& a, std::string_view b);
std::string operator+(const char* a, const CompactText& b);
std::string operator+(const CompactText& a, const char* b);
std::string operator+(const CompactText& a, const std::string& b);

}  // namespace tarvik
