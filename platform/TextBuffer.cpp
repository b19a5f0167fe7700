// The counted UTF-16 buffer: growth through a replaceable reallocate hook, so that tests can
// make any growth fail.
#include "platform/TextBuffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"

void* (*TextBuffer::reallocate)(void* block, size_t bytes) = [](void* block, size_t bytes) {
    return std::realloc(block, bytes);
};

TextBuffer::~TextBuffer() {
    std::free(data_);
}

bool TextBuffer::Reallocate(int32_t capacity) {
    if (capacity < length_) return false;
    // In place where the allocator can: a large buffer grows without a copy of its pages.
    auto* fresh = static_cast<char16_t*>(
        reallocate(data_, (static_cast<size_t>(capacity) + 1) * sizeof(char16_t)));
    if (!fresh) return false;
    platform::AdviseLargePages(fresh, (static_cast<size_t>(capacity) + 1) * sizeof(char16_t));
    fresh[length_] = 0;
    data_ = fresh;
    capacity_ = capacity;
    return true;
}

bool TextBuffer::Assign(const char16_t* text, int32_t count) {
    if (count < 0) return false;
    if (count > capacity_ || !data_) {
        auto* fresh = static_cast<char16_t*>(
            reallocate(nullptr, (static_cast<size_t>(count) + 1) * sizeof(char16_t)));
        if (!fresh) return false;
        platform::AdviseLargePages(fresh, (static_cast<size_t>(count) + 1) * sizeof(char16_t));
        std::free(data_);
        data_ = fresh;
        capacity_ = count;
    }
    if (count) std::memmove(data_, text, static_cast<size_t>(count) * sizeof(char16_t));
    data_[count] = 0;
    length_ = count;
    return true;
}

bool TextBuffer::Resize(int32_t count) {
    if (count < 0) return false;
    if (count > capacity_ || !data_) {
        if (!Reallocate(count)) return false;
    }
    length_ = count;
    data_[count] = 0;
    return true;
}

void TextBuffer::Clear() {
    length_ = 0;
    if (data_) data_[0] = 0;
}

void TextBuffer::Swap(TextBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(length_, other.length_);
    std::swap(capacity_, other.capacity_);
}
