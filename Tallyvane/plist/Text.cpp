#include "plist/Text.h"

#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>

namespace tallyvane::plist {

Text::Text(std::string_view text) {
    setInPlace(0);
    assign(text);
}

Text& Text::operator=(const Text& other) {
    if (this != &other) {
        release();
        assign(other);
    }
    return *this;
}

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        release();
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.setInPlace(0);
    }
    return *this;
}

// Into a text that holds nothing on the heap.
void Text::assign(std::string_view text) {
    if (text.size() <= kInPlace) {
        // An empty view may have no data at all, which memcpy must not be given.
        if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
        setInPlace(text.size());
        return;
    }
    if (text.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("text too long");
    char* heap = std::allocator<char>().allocate(text.size() + 1);
    std::memcpy(heap, text.data(), text.size());
    heap[text.size()] = '\0';
    const auto size = static_cast<std::uint32_t>(text.size());
    std::memcpy(bytes_, &heap, sizeof heap);
    std::memcpy(bytes_ + sizeof heap, &size, sizeof size);
    bytes_[kTag] = static_cast<char>(kOnHeap);
}

void Text::release() noexcept {
    if (!inPlace()) std::allocator<char>().deallocate(const_cast<char*>(data()), size() + 1);
    setInPlace(0);
}

std::ostream& operator<<(std::ostream& out, const Text& text) {
    return out << std::string_view(text);
}

}  // namespace tallyvane::plist
