#include "base/CompactText.h"

#include <atomic>
#include <cstring>
#include <new>
#include <ostream>

namespace tarvik {

struct CompactText::Block {
    std::atomic<std::size_t> references;
    std::size_t size;

    char* Characters() noexcept { return reinterpret_cast<char*>(this + 1); }
};

CompactText::CompactText(std::string_view text) {
    if (text.size() <= kInlineCapacity) {
        std::memcpy(bytes_.data(), text.data(), text.size());
        bytes_[kTag] = static_cast<char>(text.size());
        return;
    }
    void* memory = ::operator new(sizeof(Block) + text.size());
    Block* block = new (memory) Block{{1}, text.size()};
    std::memcpy(block->Characters(), text.data(), text.size());
    std::memcpy(bytes_.data(), &block, sizeof block);
    bytes_[kTag] = kSharedTag;
}

CompactText::CompactText(const CompactText& other) noexcept : bytes_(other.bytes_) {
    if (Block* block = SharedBlock()) {
        block->references.fetch_add(1, std::memory_order_relaxed);
    }
}

CompactText::CompactText(CompactText&& other) noexcept : bytes_(other.bytes_) {
    other.bytes_[kTag] = 0;
}

CompactText& CompactText::operator=(const CompactText& other) noexcept {
    if (this != &other) {
        CompactText copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CompactText& CompactText::operator=(CompactText&& other) noexcept {
    if (this != &other) {
        Release();
        bytes_ = other.bytes_;
        other.bytes_[kTag] = 0;
    }
    return *this;
}

CompactText::Block* CompactText::SharedBlock() const noexcept {
    if (bytes_[kTag] != kSharedTag) {
        return nullptr;
    }
    Block* block = nullptr;
    std::memcpy(&block, bytes_.data(), sizeof block);
    return block;
}

void CompactText::Release() noexcept {
    Block* block = SharedBlock();
    bytes_[kTag] = 0;
    if (block != nullptr && block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        ::operator delete(block);
    }
}

std::string_view CompactText::View() const noexcept {
    if (Block* block = SharedBlock()) {
        return {block->Characters(), block->size};
    }
    return {bytes_.data(), static_cast<std::size_t>(bytes_[kTag])};
}

std::ostream& operator<<(std::ostream& out, const CompactText& text) {
    return out << text.View();
}

std::string operator+(std::string a, const CompactText& b) {
    a += b.View();
    return a;
}

std::string operator+(const CompactText& a, std::string_view b) {
    std::string text(a.View());
    text += b;
    return text;
}

std::string operator+(const char* a, const CompactText& b) {
    return std::string(a) + b;
}

std::string operator+(const CompactText& a, const char* b) {
    return a + std::string_view(b);
}

std::string operator+(const CompactText& a, const std::string& b) {
    return a + std::string_view(b);
}

}  // namespace tarvik
