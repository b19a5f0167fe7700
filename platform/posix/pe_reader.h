// Finds the version resource of a PE file (an .exe or .dll) without loading it, the way
// ReadVersionResource does: resource type RT_VERSION (16), name VS_VERSION_INFO (1), first
// language. Every offset and size read from the file is checked before use, so any bytes may
// be handed to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::pe {

// Random access to the bytes of a file.
class Source {
  public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly `count` bytes at `offset`; false when they are not all there.
    virtual bool ReadAt(uint64_t offset, void* out, size_t count) const = 0;
};

class MemorySource : public Source {
  public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(uint64_t offset, void* out, size_t count) const override;

  private:
    const uint8_t* data_;
    size_t size_;
};

// The version resource is larger than any real one beyond this; such a file is refused.
constexpr uint32_t kMaxVersionResource = 1u << 20;

// Where the raw VS_VERSIONINFO block lies in the file. False when the file is not a PE file,
// has no version resource, or its structures point outside the file.
bool FindVersionResource(const Source& file, uint64_t& offset, uint32_t& size);

// The offset of the 13-word VS_FIXEDFILEINFO at the root of a VS_VERSIONINFO block: after the
// root's key, aligned to 4 bytes, with the signature 0xFEEF04BD. False when the block holds
// none or is cut short.
bool FindFixedFileInfo(const void* block, size_t size, size_t& offset);

}  // namespace platform::pe
