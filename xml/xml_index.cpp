// Element index: segmented record storage, growth, record hand-out and release.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "xml/internal/XmlInternals.h"

// Whole segments on large pages: a large index otherwise faults in every 4 KB of it.
void* (*ElementIndex::allocate)(size_t bytes) = [](size_t bytes) {
    return platform::AllocateLarge(bytes);
};
void (*ElementIndex::release)(void* block) = [](void* block) { std::free(block); };

ElementIndex::~ElementIndex() {
    if (!segmentTable) return;
    int32_t segments = SegmentCount();
    for (int32_t s = 0; s < segments; ++s) release(segmentTable[s]);
    release(segmentTable);
}

void SavedPositionTable::Discard() {
    if (!table) return;
    for (int b = 0; b < kBuckets; ++b) {
        SavedPosition* bucket = table[b];
        if (!bucket) continue;
        // The count is kept in the size_t in front of the array.
        size_t* block = reinterpret_cast<size_t*>(bucket) - 1;
        for (size_t i = 0; i < *block; ++i) bucket[i].~SavedPosition();
        std::free(block);
    }
    std::free(table);
    table = nullptr;
}

CXmlDocument::CXmlDocument() {
    SetDocumentText(nullptr);
}

bool CXmlDocument::GrowIndex(int32_t requested) {
    ElementIndex& index = elementIndex;
    int64_t want = requested;
    if (want == 0) want = static_cast<int64_t>(nextRecord) + nextRecord / 2;
    if (index.recordCapacity >= want) return true;

    int32_t lastSegment = index.recordCapacity > 0 ? (index.recordCapacity - 1) >> 16 : 0;
    int64_t newLastSegment = (want - 1) >> 16;
    // Never more than one segment past the current last one per call.
    if (newLastSegment > lastSegment + 1) {
        newLastSegment = lastSegment + 1;
        want = static_cast<int64_t>(lastSegment + 2) * kSegmentRecords;
    }
    if (want > INT32_MAX) return false;
    const int32_t target = static_cast<int32_t>(want);
    const int32_t newLast = static_cast<int32_t>(newLastSegment);

    // Allocate everything first so that a failure leaves the index untouched.
    ElementRecord** table = index.segmentTable;
    int32_t tableCapacity = index.segmentTableCapacity;
    bool newTable = false;
    if (newLast >= tableCapacity) {
        tableCapacity = newLast * 2 + 4;
        table = static_cast<ElementRecord**>(
            ElementIndex::allocate(sizeof(ElementRecord*) * static_cast<size_t>(tableCapacity)));
        if (!table) return false;
        newTable = true;
    }
    const int32_t oldCount = index.recordCapacity - lastSegment * kSegmentRecords;
    const int32_t newCount = target - newLast * kSegmentRecords;
    ElementRecord* completed = nullptr;
    if (lastSegment < newLast && oldCount < kSegmentRecords) {
        completed = static_cast<ElementRecord*>(
            ElementIndex::allocate(sizeof(ElementRecord) * kSegmentRecords));
        if (!completed) {
            if (newTable) ElementIndex::release(table);
            return false;
        }
    }
    auto* block = static_cast<ElementRecord*>(
        ElementIndex::allocate(sizeof(ElementRecord) * static_cast<size_t>(newCount)));
    if (!block) {
        if (completed) ElementIndex::release(completed);
        if (newTable) ElementIndex::release(table);
        return false;
    }

    if (newTable) {
        int32_t existing = index.SegmentCount();
        if (existing) std::memcpy(table, index.segmentTable, sizeof(ElementRecord*) * existing);
        if (index.segmentTable) ElementIndex::release(index.segmentTable);
        index.segmentTable = table;
        index.segmentTableCapacity = tableCapacity;
    }
    if (completed) {
        if (oldCount > 0) {
            std::memcpy(completed, index.segmentTable[lastSegment],
                        sizeof(ElementRecord) * static_cast<size_t>(oldCount));
            ElementIndex::release(index.segmentTable[lastSegment]);
        }
        index.segmentTable[lastSegment] = completed;
    }
    if (newLast == lastSegment && oldCount > 0) {
        std::memcpy(block, index.segmentTable[lastSegment],
                    sizeof(ElementRecord) * static_cast<size_t>(oldCount));
        ElementIndex::release(index.segmentTable[lastSegment]);
    }
    index.segmentTable[newLast] = block;
    index.recordCapacity = target;
    return true;
}

ElementHandle CXmlDocument::TakeRecordAfterGrowth() {
    if (!GrowIndex(0) || nextRecord >= elementIndex.recordCapacity) return 0;
    return static_cast<ElementHandle>(nextRecord++);
}

ElementHandle CXmlDocument::ReleaseRecord(ElementHandle handle) {
    ElementRecord& r = RecordAt(handle);
    ElementHandle former = r.nextSibling;
    r.nextSibling = releasedHead;
    r.flags = ElemReleased;
    releasedHead = handle;
    return former;
}
