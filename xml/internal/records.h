// The element records and their storage: the layout the index, the parser and every edit
// share. Internal to the XML class; see XmlInternals.h for who may reach it.
#pragma once

#include <cstdint>

#include "xml/XmlDocument.h"

enum : uint32_t {
    ElemLevelMask = 0x0000FFFF,
    ElemReleased = 0x00020000,
    ElemFirstChild = 0x00080000,
    ElemUnended = 0x00100000,
    ElemHasError = 0x00200000,
    ElemIllFormed = 0x00800000,
};

constexpr uint32_t kStartTagMask = 0x2FFFFF;  // bits 0-19 and 21
constexpr uint32_t kStartTagKeepMask = 0xFFD00000;
constexpr int32_t kMaxStartTagLength = (1 << 20) - 1;
constexpr int32_t kMaxEndTagLength = 511;
constexpr uint32_t kMaxLevel = 0xFFFF;

struct ElementRecord {
    int32_t start;
    int32_t length;
    uint32_t tagLengths;
    uint32_t flags;
    ElementHandle parent;
    ElementHandle firstChild;
    ElementHandle nextSibling;
    ElementHandle prevSibling;

    int32_t StartTagLength() const { return static_cast<int32_t>(tagLengths & kStartTagMask); }
    int32_t EndTagLength() const { return static_cast<int32_t>(tagLengths) >> 22; }
    void SetStartTagLength(int32_t n) {
        tagLengths = (tagLengths & kStartTagKeepMask) + static_cast<uint32_t>(n);
    }
    void SetEndTagLength(int32_t n) {
        tagLengths = (static_cast<uint32_t>(n) << 22) + (tagLengths & kStartTagMask);
    }
    uint32_t Level() const { return flags & ElemLevelMask; }
    void SetLevel(uint32_t level) { flags = (flags & ~ElemLevelMask) | (level & ElemLevelMask); }
};
static_assert(sizeof(ElementRecord) == 32);

constexpr int32_t kSegmentRecords = 65536;

inline ElementRecord& ElementIndex::At(ElementHandle h) const {
    return segmentTable[h >> 16][h & 0xFFFF];
}

// Named positions; nothing in this system fills the table, it is only discarded.
struct SavedPosition {
    CString name;
    int32_t word1;
    int32_t word2;
};

inline ElementRecord& CXmlDocument::RecordAt(ElementHandle h) const {
    return elementIndex.At(h);
}

inline void CXmlDocument::SetRecord(ElementHandle handle, const ElementRecord& record) {
    RecordAt(handle) = record;
}

inline void CXmlDocument::LinkLastChild(ElementHandle parent, ElementHandle handle) {
    ElementRecord& rec = RecordAt(handle);
    ElementRecord& p = RecordAt(parent);
    rec.nextSibling = 0;
    rec.parent = parent;
    if (p.firstChild) {
        ElementRecord& f = RecordAt(p.firstChild);
        const ElementHandle last = f.prevSibling;
        RecordAt(last).nextSibling = handle;
        rec.prevSibling = last;
        f.prevSibling = handle;
        rec.flags = 0;
    } else {
        p.firstChild = handle;
        rec.prevSibling = handle;
        rec.flags = ElemFirstChild;
    }
}
