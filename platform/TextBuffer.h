// A counted UTF-16 buffer whose capacity is exactly what its owner asks for, so that the
// document text grows by the editing rule and not by the allocator's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using CString = std::u16string;

class TextBuffer {
  public:
    TextBuffer() = default;
    ~TextBuffer();
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // Always NUL-terminated, never null.
    const char16_t* c_str() const { return data_ ? data_ : &kEmpty; }
    char16_t* data() { return data_; }
    int32_t length() const { return length_; }
    int32_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    std::u16string_view view() const { return {c_str(), static_cast<size_t>(length_)}; }
    char16_t operator[](int32_t i) const { return c_str()[i]; }

    // All of these return false, changing nothing, when memory runs out.
    bool Assign(const char16_t* text, int32_t count);
    bool Assign(std::u16string_view text) {
        return Assign(text.data(), static_cast<int32_t>(text.size()));
    }
    // Reallocates to exactly `capacity` characters (plus the terminator), keeping the text.
    bool Reallocate(int32_t capacity);
    // Sets the length to `count` characters, growing the buffer to exactly that when needed;
    // the new characters are undefined until written.
    bool Resize(int32_t count);
    void Clear();
    void Swap(TextBuffer& other) noexcept;

    // The allocator (realloc's contract), replaceable by tests to inject failures.
    static void* (*reallocate)(void* block, size_t bytes);

  private:
    static constexpr char16_t kEmpty = 0;
    char16_t* data_ = nullptr;
    int32_t length_ = 0;
    int32_t capacity_ = 0;
};

inline bool operator==(const TextBuffer& a, std::u16string_view b) {
    return a.view() == b;
}
