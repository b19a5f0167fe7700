// The version resource of a PE file, found by walking its section table and resource
// directories from bytes read on demand.
#include "platform/posix/pe_reader.h"

#include <cstring>
#include <vector>

namespace platform::pe {

namespace {

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kVsVersionInfo = 1;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kFixedFileInfoBytes = 13 * 4;
constexpr uint32_t kSignature = 0xFEEF04BD;

uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

class Image {
  public:
    explicit Image(const Source& file) : file_(file) {}

    bool Load(uint32_t& resourceRva) {
        uint8_t dos[64];
        if (!file_.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
        uint64_t pe = Le32(dos + 0x3C);
        uint8_t head[24];
        if (!file_.ReadAt(pe, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0) {
            return false;
        }
        uint32_t sectionCount = Le16(head + 6);
        uint32_t optionalSize = Le16(head + 20);
        uint64_t optional = pe + sizeof head;

        // The data directories follow the fixed part, whose size depends on PE32 or PE32+.
        uint8_t magic[2];
        if (!file_.ReadAt(optional, magic, 2)) return false;
        uint32_t countAt, directoriesAt;
        if (Le16(magic) == 0x10B) {
            countAt = 92;
            directoriesAt = 96;
        } else if (Le16(magic) == 0x20B) {
            countAt = 108;
            directoriesAt = 112;
        } else {
            return false;
        }
        uint32_t resourceEntryAt = directoriesAt + 8 * kResourceDirectoryIndex;
        if (optionalSize < resourceEntryAt + 8) return false;
        uint8_t word[8];
        if (!file_.ReadAt(optional + countAt, word, 4)) return false;
        if (Le32(word) <= kResourceDirectoryIndex) return false;
        if (!file_.ReadAt(optional + resourceEntryAt, word, 8)) return false;
        resourceRva = Le32(word);
        if (resourceRva == 0 || Le32(word + 4) == 0) return false;

        uint64_t table = optional + optionalSize;
        if (uint64_t(sectionCount) * 40 > file_.Size()) return false;
        sections_.reserve(sectionCount);
        for (uint32_t s = 0; s < sectionCount; ++s) {
            uint8_t h[40];
            if (!file_.ReadAt(table + uint64_t(s) * 40, h, sizeof h)) return false;
            sections_.push_back({Le32(h + 12), Le32(h + 8), Le32(h + 16), Le32(h + 20)});
        }
        return true;
    }

    // The file offset of `count` bytes at `rva`; they must lie in one section's raw data.
    bool Map(uint64_t rva, uint64_t count, uint64_t& offset) const {
        for (const Section& s : sections_) {
            uint64_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
            if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
            uint64_t within = rva - s.virtualAddress;
            if (within + count > s.rawSize) return false;
            offset = uint64_t(s.rawOffset) + within;
            return offset + count <= file_.Size();
        }
        return false;
    }

    bool ReadRva(uint64_t rva, void* out, size_t count) const {
        uint64_t offset;
        return Map(rva, count, offset) && file_.ReadAt(offset, out, count);
    }

  private:
    const Source& file_;
    std::vector<Section> sections_;
};

struct Entry {
    uint32_t name;
    uint32_t target;
};

// The entries of the resource directory at `rva`.
bool ReadDirectory(const Image& image, uint64_t rva, std::vector<Entry>& entries) {
    uint8_t head[16];
    if (!image.ReadRva(rva, head, sizeof head)) return false;
    size_t count = size_t(Le16(head + 12)) + Le16(head + 14);
    std::vector<uint8_t> raw(count * 8);
    if (count && !image.ReadRva(rva + sizeof head, raw.data(), raw.size())) return false;
    entries.clear();
    for (size_t k = 0; k < count; ++k)
        entries.push_back({Le32(&raw[k * 8]), Le32(&raw[k * 8 + 4])});
    return true;
}

// The subdirectory named by the numeric id; ids are compared, names (high bit set) skipped.
bool FindSubdirectory(const std::vector<Entry>& entries, uint32_t id, uint32_t& offset) {
    for (const Entry& e : entries) {
        if (e.name == id) {
            if (!(e.target & kSubdirectoryBit)) return false;
            offset = e.target & ~kSubdirectoryBit;
            return true;
        }
    }
    return false;
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, void* out, size_t count) const {
    if (offset > size_ || count > size_ - offset) return false;
    if (count) std::memcpy(out, data_ + offset, count);
    return true;
}

bool FindVersionResource(const Source& file, uint64_t& offset, uint32_t& size) {
    Image image(file);
    uint32_t root;
    if (!image.Load(root)) return false;

    // Three fixed levels (type, name, language): a directory that points back at itself is
    // read at most once per level, so a loop cannot keep the walk going.
    std::vector<Entry> entries;
    uint32_t at;
    if (!ReadDirectory(image, root, entries) || !FindSubdirectory(entries, kRtVersion, at)) {
        return false;
    }
    if (!ReadDirectory(image, uint64_t(root) + at, entries) ||
        !FindSubdirectory(entries, kVsVersionInfo, at)) {
        return false;
    }
    if (!ReadDirectory(image, uint64_t(root) + at, entries) || entries.empty()) return false;
    if (entries[0].target & kSubdirectoryBit) return false;

    uint8_t data[16];
    if (!image.ReadRva(uint64_t(root) + entries[0].target, data, sizeof data)) return false;
    uint32_t rva = Le32(data);
    size = Le32(data + 4);
    if (size == 0 || size > kMaxVersionResource) return false;
    return image.Map(rva, size, offset);
}

bool FindFixedFileInfo(const void* block, size_t size, size_t& offset) {
    const uint8_t* p = static_cast<const uint8_t*>(block);
    if (!p || size < 6) return false;
    size_t length = Le16(p);
    if (length < 6) return false;
    if (length > size) length = size;
    uint32_t valueLength = Le16(p + 2);

    // The key is a NUL-terminated UTF-16 string after the three header words.
    size_t at = 6;
    for (;;) {
        if (at + 2 > length) return false;
        bool end = Le16(p + at) == 0;
        at += 2;
        if (end) break;
    }
    at = (at + 3) & ~size_t{3};
    if (valueLength < kFixedFileInfoBytes || at + kFixedFileInfoBytes > length) return false;
    if (Le32(p + at) != kSignature) return false;
    offset = at;
    return true;
}

}  // namespace platform::pe
