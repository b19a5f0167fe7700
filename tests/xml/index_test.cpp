#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

// Counts the index's frees, and fails allocations once a budget runs out.
struct AllocationProbe {
    static inline int releases = 0;
    static inline int budget = -1;  // -1: unlimited
    void* (*savedAllocate)(size_t) = ElementIndex::allocate;
    void (*savedRelease)(void*) = ElementIndex::release;

    AllocationProbe() {
        releases = 0;
        budget = -1;
        ElementIndex::allocate = [](size_t n) -> void* {
            if (budget == 0) return nullptr;
            if (budget > 0) --budget;
            return std::malloc(n);
        };
        ElementIndex::release = [](void* p) {
            ++releases;
            std::free(p);
        };
    }
    ~AllocationProbe() {
        ElementIndex::allocate = savedAllocate;
        ElementIndex::release = savedRelease;
    }
};

TEST(Index, ConstructionParsesEmptyText) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    EXPECT_EQ(in.Index().recordCapacity, 8);
    EXPECT_EQ(in.Index().segmentTableCapacity, 4);
    EXPECT_EQ(in.NextRecord(), 1);
    EXPECT_EQ(in.ResultText(), u"Empty document");
    EXPECT_EQ(in.SavedPositions().table, nullptr);
}

TEST(Index, GrowthSteps) {
    struct Step {
        int32_t inUse;
        int32_t capacityBefore;
        int32_t request;
        int32_t capacityAfter;
        int32_t tableAfter;
    };
    const Step steps[] = {
        {8, 8, 0, 12, 4},                // one and a half times the records in use
        {1, 8, 0, 8, 4},                 // asks for 1: nothing changes
        {1, 8, 200000, 131072, 4},       // one segment past the last, ending on a boundary
        {65536, 65536, 0, 98304, 4},     // second segment of 32,768
        {196608, 196608, 0, 262144, 4},  // asks 294,912, gets the next segment only
        {1, 8, 8, 8, 4},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.inUse);
        CXmlDocument doc;
        const XmlInternals in(doc);
        while (in.Index().recordCapacity < s.capacityBefore)
            ASSERT_TRUE(XmlInternals::GrowIndex(doc, s.capacityBefore));
        ASSERT_EQ(in.Index().recordCapacity, s.capacityBefore);
        ElementRecord* segment0 = in.Index().segmentTable[0];
        const bool segment0Full = s.capacityBefore >= kSegmentRecords;
        while (in.NextRecord() < s.inUse) ASSERT_NE(XmlInternals::TakeRecord(doc), 0u);
        EXPECT_TRUE(XmlInternals::GrowIndex(doc, s.request));
        EXPECT_EQ(in.Index().recordCapacity, s.capacityAfter);
        EXPECT_GE(in.Index().segmentTableCapacity, s.tableAfter);
        if (segment0Full) {
            EXPECT_EQ(in.Index().segmentTable[0], segment0);
        }
    }
}

TEST(Index, SegmentTableGrowsToTwiceTheLastSegmentPlusFour) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    int32_t want = kSegmentRecords * 5;  // needs segment 4, past the first table of 4
    while (in.Index().recordCapacity < want) ASSERT_TRUE(XmlInternals::GrowIndex(doc, want));
    EXPECT_EQ(in.Index().recordCapacity, want);
    EXPECT_EQ(in.Index().segmentTableCapacity, 4 * 2 + 4);
}

TEST(Index, GrowthKeepsRecordContents) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocumentText(u"<a><b/><c/><d/><e/><f/><g/></a>"));
    ASSERT_TRUE(XmlInternals::GrowIndex(doc, kSegmentRecords + 5));
    // "<b/>" at 3, each sibling 4 further.
    for (int32_t i = 2; i < 8; ++i) EXPECT_EQ(XmlInternals(doc).Record(i).start, 3 + 4 * (i - 2));
}

TEST(Index, HandleNamesSegmentAndSlot) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    ASSERT_TRUE(XmlInternals::GrowIndex(doc, kSegmentRecords + 2));
    EXPECT_EQ(&in.Record(65537), &in.Index().segmentTable[1][1]);
    EXPECT_EQ(&in.Record(65535), &in.Index().segmentTable[0][65535]);
}

TEST(Index, ReleaseRecordJoinsTheReleasedList) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<a><b/><c/><d/></a>");
    EXPECT_EQ(XmlInternals::ReleaseRecord(doc, 4), 0u);
    EXPECT_EQ(XmlInternals::ReleaseRecord(doc, 2), 3u);
    EXPECT_EQ(in.Record(2).flags, 0x00020000u);
    EXPECT_EQ(in.Record(2).nextSibling, 4u);
    EXPECT_EQ(in.ReleasedHead(), 2u);
}

TEST(Index, ReparseOfShorterTextKeepsCapacity) {
    CXmlDocument doc;
    const XmlInternals in(doc);
    std::u16string big = u"<r>";
    for (int i = 0; i < 2000; ++i) big += u"<i/>";
    big += u"</r>";
    doc.SetDocumentText(big);
    const int32_t capacity = in.Index().recordCapacity;
    XmlInternals::ReleaseRecord(doc, 5);
    EXPECT_TRUE(doc.SetDocumentText(u"<a/>"));
    EXPECT_EQ(in.Index().recordCapacity, capacity);
    EXPECT_EQ(in.NextRecord(), 2);
    EXPECT_EQ(in.ReleasedHead(), 0u);
}

TEST(Index, DestructionFreesEverySegmentAndTheTable) {
    struct Free {
        int32_t capacity;
        int segments;
    };
    for (Free f : {Free{65536, 1}, Free{65537, 2}, Free{8, 1}}) {
        AllocationProbe probe;
        {
            CXmlDocument doc;
            const XmlInternals in(doc);
            while (in.Index().recordCapacity < f.capacity)
                ASSERT_TRUE(XmlInternals::GrowIndex(doc, f.capacity));
            ASSERT_EQ(in.Index().recordCapacity, f.capacity);
            AllocationProbe::releases = 0;
        }
        EXPECT_EQ(AllocationProbe::releases, f.segments + 1) << f.capacity;
    }
}

TEST(Index, AllocationFailureIsReportedAndLeavesAConsistentIndex) {
    std::u16string text = u"<r>";
    for (int i = 0; i < 300; ++i) text += u"<item name='x'/>";
    text += u"</r>";
    for (int budget = 0; budget < 4; ++budget) {
        SCOPED_TRACE(budget);
        CXmlDocument doc;
        AllocationProbe probe;
        AllocationProbe::budget = budget;
        bool ok = doc.SetDocumentText(text);
        if (!ok) {
            EXPECT_NE(XmlInternals(doc).ResultText().find(u"Out of memory"), std::u16string::npos);
            EXPECT_TRUE(CheckStructure(doc));
        }
        // Every record of the parse is in the index or the parse said it ran out.
        EXPECT_TRUE(ok || XmlInternals(doc).NextRecord() < 302);
    }
}

TEST(Index, SavedPositionTableDiscardFreesEveryEntry) {
    SavedPositionTable positions;
    auto** table = static_cast<SavedPosition**>(
        std::calloc(SavedPositionTable::kBuckets, sizeof(SavedPosition*)));
    size_t* block = static_cast<size_t*>(std::malloc(sizeof(size_t) + 2 * sizeof(SavedPosition)));
    *block = 2;
    auto* entries = reinterpret_cast<SavedPosition*>(block + 1);
    new (&entries[0]) SavedPosition{u"a long name that lives on the heap", 1, 2};
    new (&entries[1]) SavedPosition{u"b", 3, 4};
    table[3] = entries;
    positions.table = table;
    positions.Discard();
    EXPECT_EQ(positions.table, nullptr);  // the sanitizer checks nothing leaked
}

}  // namespace
