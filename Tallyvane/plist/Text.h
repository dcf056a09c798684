#pragma once
// Text in 16 bytes, half a std::string: up to 15 bytes in place, longer text on the heap. A
// document of 10,000 usage records holds 100,000 keys and strings, nearly all as short as
// "TOTAL_RUN_TIME" or "1.0", so their size is most of the document's.
#include <compare>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tallyvane::plist {

class Text {
  public:
    Text() noexcept { setInPlace(0); }
    Text(std::string_view text);
    Text(const char* text) : Text(std::string_view(text)) {}
    Text(const std::string& text) : Text(std::string_view(text)) {}
    Text(const Text& other) : Text(std::string_view(other)) {}
    Text(Text&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.setInPlace(0);
    }
    Text& operator=(const Text& other);
    Text& operator=(Text&& other) noexcept;
    ~Text() { release(); }

    std::size_t size() const noexcept {
        if (inPlace()) return kInPlace - static_cast<unsigned char>(bytes_[kTag]);
        std::uint32_t size;
        std::memcpy(&size, bytes_ + sizeof(char*), sizeof size);
        return size;
    }
    bool empty() const noexcept { return size() == 0; }
    // Always followed by a NUL.
    const char* data() const noexcept {
        if (inPlace()) return bytes_;
        const char* heap;
        std::memcpy(&heap, bytes_, sizeof heap);
        return heap;
    }
    const char* c_str() const noexcept { return data(); }
    const char* begin() const noexcept { return data(); }
    const char* end() const noexcept { return data() + size(); }
    operator std::string_view() const noexcept { return {data(), size()}; }
    std::string str() const { return std::string(data(), size()); }

    friend bool operator==(const Text& a, const Text& b) noexcept {
        return std::string_view(a) == std::string_view(b);
    }
    friend bool operator==(const Text& a, std::string_view b) noexcept {
        return std::string_view(a) == b;
    }
    friend bool operator==(const Text& a, const char* b) noexcept {
        return std::string_view(a) == b;
    }
    friend bool operator==(const Text& a, const std::string& b) noexcept {
        return std::string_view(a) == b;
    }
    friend std::strong_ordering operator<=>(const Text& a, const Text& b) noexcept {
        return std::string_view(a) <=> std::string_view(b);
    }
    friend std::strong_ordering operator<=>(const Text& a, std::string_view b) noexcept {
        return std::string_view(a) <=> b;
    }

    friend std::ostream& operator<<(std::ostream& out, const Text& text);

  private:
    static constexpr std::size_t kInPlace = 15;  // the most bytes held in place
    static constexpr std::size_t kTag = 15;      // in place: 15 minus the size, so 0 ends 15
    static constexpr unsigned char kOnHeap = 0x80;
    bool inPlace() const noexcept { return static_cast<unsigned char>(bytes_[kTag]) <= kInPlace; }
    void setInPlace(std::size_t size) noexcept {
        bytes_[size] = '\0';
        bytes_[kTag] = static_cast<char>(kInPlace - size);
    }
    void assign(std::string_view text);
    void release() noexcept;

    alignas(char*) char bytes_[16];  // in place, or the heap pointer and a 32-bit size
};

}  // namespace tallyvane::plist

template <>
struct std::hash<tallyvane::plist::Text> {
    std::size_t operator()(const tallyvane::plist::Text& text) const noexcept {
        return std::hash<std::string_view>()(text);
    }
};
