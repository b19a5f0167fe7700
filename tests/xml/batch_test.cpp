// The edit batch against the single edits: the same edits (removals of what appends put in
// among them), stated with the same parents and references, leave the same text, records and
// result text; a batch that runs out of memory at any allocation leaves the document as it
// was. A subtree taken from another document has the effect of its text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "support/xml_checker.h"
#include "support/xml_gen.h"
#include "xml/internal/XmlInternals.h"

namespace {

// Allocation failures on demand: the n-th allocation from now fails, through operator new,
// the element index and the text buffer alike.
long failAfter = -1;
bool FailNow() {
    if (failAfter < 0) return false;
    return failAfter-- == 0;
}

}  // namespace

void* operator new(size_t bytes) {
    if (FailNow()) throw std::bad_alloc();
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

struct Snapshot {
    std::u16string text, result;
    std::string records;
    int32_t next;
    ElementHandle released;
    bool operator==(const Snapshot&) const = default;
};

void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << "\n[text]\n"
        << Narrow(s.text) << "\n[result] " << Narrow(s.result) << "\n[next] " << s.next
        << " [released] " << s.released << "\n[records]\n"
        << s.records;
}

// A released record keeps only its mark and its link in the released list.
Snapshot Take(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    std::string records;
    for (ElementHandle h = 0; h < static_cast<ElementHandle>(in.NextRecord()); ++h) {
        const ElementRecord& r = in.Record(h);
        records += r.flags == ElemReleased ? "released " + std::to_string(r.nextSibling)
                                           : DumpRecord(doc, h);
        records += '\n';
    }
    return {std::u16string(in.DocumentText().view()), in.ResultText(), records, in.NextRecord(),
            in.ReleasedHead()};
}

const char16_t* const kOddTexts[] = {u"<a><b></a>",   u"<a>",  u"x<b/>y<c>", u"</z>",
                                     u"<p/>\r\n<q/>", u"text", u"  \r\n"};
const char16_t* const kPlainTexts[] = {u"", u"t", u"  ", u"\r\n", u"<!-- c -->", u"a &amp; b"};

// One edit, chosen from the seed, made on `single` one by one and kept to be queued on a
// batch with the same parent and reference.
struct Edit {
    int kind;
    ElementHandle parent, after;
    std::u16string text;
    const char16_t* value;
    uint32_t flags;
    bool expected;
    ElementHandle added;
    ElementHandle element = 0;  // of the source: AppendSubtreeFrom instead of its text
};

const char16_t* ValueOf(const Edit& edit) {
    return edit.text.empty() ? edit.value : edit.text.c_str();
}

struct EditMaker {
    Rng& rng;
    CXmlDocument& single;
    std::vector<ElementHandle> recent;
    ElementHandle limit;  // the first handle a batch would hand out
    const CXmlDocument* source = nullptr;
    std::map<ElementHandle, std::u16string> firstContent;

    ElementHandle AnyElement() {
        if (!recent.empty() && rng.Chance(30)) {
            const ElementHandle h =
                recent[static_cast<size_t>(rng.Below(static_cast<int>(recent.size())))];
            if (XmlInternals(single).Record(h).flags != ElemReleased) return h;  // not removed
        }
        const std::vector<ElementHandle> order = DocumentOrder(single);
        if (order.empty()) return 0;
        return order[static_cast<size_t>(rng.Below(static_cast<int>(order.size())))];
    }
    // A parent (0 now and then: the document level) and a child of it or 0.
    void Place(Edit& edit) {
        edit.parent = rng.Chance(5) ? 0 : AnyElement();
        std::vector<ElementHandle> children;
        for (ElementHandle c = XmlInternals(single).Record(edit.parent).firstChild; c;
             c = XmlInternals(single).Record(c).nextSibling)
            children.push_back(c);
        if (!children.empty() && rng.Chance(60))
            edit.after =
                children[static_cast<size_t>(rng.Below(static_cast<int>(children.size())))];
        single.SetPosition(edit.parent, edit.after, 0);
    }

    Edit Make() {
        Edit edit{rng.Below(5), 0, 0, {}, nullptr, RandomFlags(rng) & ~uint32_t{EditSpacedEmptyTag},
                  true,         0};
        switch (edit.kind) {
            case 0:
                Place(edit);
                if (source && rng.Chance(40)) {
                    const std::vector<ElementHandle> order = DocumentOrder(*source);
                    edit.element = order[static_cast<size_t>(rng.Below(int(order.size())))];
                    edit.text = source->GetElementSubtreeText(edit.element);
                } else if (rng.Chance(20)) {
                    edit.text = rng.Pick(kOddTexts);
                } else {
                    if (rng.Chance(30)) edit.text += u"\r\n  ";
                    AppendRandomElement(rng, edit.text, 2);
                    if (rng.Chance(50)) edit.text += u"\r\n";
                }
                edit.expected = single.AppendSubtree(edit.text.c_str(), edit.flags);
                edit.added = XmlInternals(single).MainHandle();
                break;
            case 1:
                Place(edit);
                edit.text = rng.Pick(kNames);
                edit.value = rng.Chance(30) ? nullptr : rng.Pick(kValues);
                edit.flags |= (rng.Chance(10) ? uint32_t{EditUnended} : 0u) |
                              (rng.Chance(20) ? uint32_t{EditSpacedEmptyTag} : 0u);
                edit.expected = single.AppendElement(edit.text.c_str(), edit.value, edit.flags);
                edit.added = edit.expected ? XmlInternals(single).MainHandle() : 0;
                break;
            case 2:
                edit.parent = AnyElement();
                edit.value = rng.Pick(kValues);
                // Now and then the content it held when first picked: the batch leaves content
                // that stays as it is in place, and puts back content it changed.
                if (edit.parent && rng.Chance(40)) {
                    const ElementRecord& r = XmlInternals(single).Record(edit.parent);
                    edit.text = XmlInternals(single).DocumentText().view().substr(
                        static_cast<size_t>(r.start + r.StartTagLength()),
                        static_cast<size_t>(r.length - r.StartTagLength() - r.EndTagLength()));
                    edit.text = firstContent.emplace(edit.parent, edit.text).first->second;
                    recent.push_back(edit.parent);
                }
                edit.expected = single.SetContent(edit.parent, ValueOf(edit), edit.flags);
                break;
            case 4: {
                const ElementHandle e = AnyElement();
                edit.parent = e < limit ? e : 0;
                edit.flags = (rng.Chance(50) ? uint32_t{EditRestoreEmptyTag} : 0u) |
                             (rng.Chance(40) ? uint32_t{EditRestoreNoContent} : 0u);
                edit.expected = single.RemoveElement(edit.parent, edit.flags);
                break;
            }
            default: {
                Place(edit);
                InsertRequest request;
                request.insertFlags = edit.flags;
                request.insertText = edit.text = rng.Pick(kPlainTexts);
                ElementHandle reference = edit.after;
                const int32_t removed =
                    XmlInternals::InsertText(single, edit.parent, reference, request);
                edit.expected = removed >= 0;
                if (edit.expected)
                    XmlInternals::AdjustAfterNodeEdit(
                        single, edit.parent, reference,
                        static_cast<int32_t>(request.insertText.size()) - removed);
                break;
            }
        }
        if (edit.added) recent.push_back(edit.added);
        return edit;
    }
};

// Queues the edit; whether it did what the single edit did.
bool Queue(CXmlEditBatch& batch, const Edit& edit, const CXmlDocument* source = nullptr) {
    switch (edit.kind) {
        case 0: {
            bool result = !edit.expected;
            const ElementHandle added =
                edit.element ? batch.AppendSubtreeFrom(edit.parent, edit.after, *source,
                                                       edit.element, edit.flags, &result)
                             : batch.AppendSubtree(edit.parent, edit.after, edit.text.c_str(),
                                                   edit.flags, &result);
            return added == edit.added && result == edit.expected;
        }
        case 1:
            return batch.AppendElement(edit.parent, edit.after, edit.text.c_str(), edit.value,
                                       edit.flags) == edit.added;
        case 2:
            return batch.SetContent(edit.parent, ValueOf(edit), edit.flags) == edit.expected;
        case 4:
            return batch.RemoveElement(edit.parent, edit.flags) == edit.expected;
        default:
            return batch.InsertText(edit.parent, edit.after, edit.text, edit.flags) ==
                   edit.expected;
    }
}

std::vector<Edit> MakeEdits(Rng& rng, CXmlDocument& single, int count,
                            std::vector<ElementHandle> recent = {},
                            const CXmlDocument* source = nullptr) {
    EditMaker maker{rng,
                    single,
                    std::move(recent),
                    static_cast<ElementHandle>(XmlInternals(single).NextRecord()),
                    source,
                    {}};
    std::vector<Edit> edits;
    for (int e = 0; e < count; ++e) edits.push_back(maker.Make());
    return edits;
}

TEST(EditBatch, EqualsTheSameEditsOneByOne) {
    constexpr int kDocuments = 400;
    for (int d = 0; d < kDocuments; ++d) {
        const uint64_t seed = 0xBA7C0000u + static_cast<uint64_t>(d);
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const std::u16string text = GenerateDocument(rng);
        CXmlDocument single;
        CXmlDocument batched;
        single.SetDocumentText(text);
        batched.SetDocumentText(text);
        // Subtrees taken from another document: one parsed with other case rules, with
        // appends of its own, some ill-formed or with end tags of another case.
        CXmlDocument source;
        source.SetIgnoreCase(rng.Chance(50));
        source.SetDocumentText(GenerateDocument(rng));
        for (int a = rng.Below(3); a > 0; --a) {
            const std::vector<ElementHandle> order = DocumentOrder(source);
            source.SetPosition(order[static_cast<size_t>(rng.Below(int(order.size())))], 0, 0);
            source.AppendSubtree(rng.Chance(50) ? u"<Ab><x/></aB>" : rng.Pick(kOddTexts), 0);
        }
        source.SetIgnoreCase(rng.Chance(50));
        const bool ignoreCase = rng.Chance(30);
        single.SetIgnoreCase(ignoreCase);
        batched.SetIgnoreCase(ignoreCase);
        // Appends before the batch, for its removals to undo.
        std::vector<ElementHandle> appended;
        for (int a = rng.Below(4); a > 0; --a) {
            const std::vector<ElementHandle> order = DocumentOrder(single);
            const ElementHandle parent = order[static_cast<size_t>(rng.Below(int(order.size())))];
            for (CXmlDocument* doc : {&single, &batched}) {
                doc->SetPosition(parent, 0, 0);
                doc->AppendElement(u"ElemCount", a, 0);
            }
            appended.push_back(XmlInternals(single).MainHandle());
        }
        const std::vector<Edit> edits =
            MakeEdits(rng, single, 1 + rng.Below(30), appended, &source);
        CXmlEditBatch batch(batched);
        for (size_t e = 0; e < edits.size(); ++e)
            ASSERT_TRUE(Queue(batch, edits[e], &source)) << "edit " << e;
        ASSERT_TRUE(batch.Apply());
        ASSERT_EQ(Take(batched), Take(single))
            << Narrow(XmlInternals(single).DocumentText().view());
        ASSERT_TRUE(CheckStructure(batched));
    }
}

TEST(EditBatch, RunningOutOfMemoryAnywhereChangesNothing) {
    auto* const indexAllocate = ElementIndex::allocate;
    auto* const textReallocate = TextBuffer::reallocate;
    ElementIndex::allocate = [](size_t bytes) { return FailNow() ? nullptr : std::malloc(bytes); };
    TextBuffer::reallocate = [](void* block, size_t bytes) {
        return FailNow() ? nullptr : std::realloc(block, bytes);
    };
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const std::u16string text = GenerateDocument(rng);
        CXmlDocument single;
        single.SetDocumentText(text);
        CXmlDocument source;
        source.SetDocumentText(GenerateDocument(rng));
        const std::vector<Edit> edits = MakeEdits(rng, single, 12, {}, &source);
        const Snapshot after = Take(single);
        for (long failAt = 0;; ++failAt) {
            CXmlDocument doc;
            doc.SetDocumentText(text);
            const Snapshot before = Take(doc);
            bool applied;
            {
                CXmlEditBatch batch(doc);
                failAfter = failAt;
                for (const Edit& edit : edits) Queue(batch, edit, &source);
                applied = batch.Apply();
            }
            const bool injected = failAfter < 0;
            failAfter = -1;
            ASSERT_EQ(Take(doc), applied ? after : before) << "failure at allocation " << failAt;
            if (!injected) {
                ASSERT_TRUE(applied);
                break;
            }
        }
    }
    ElementIndex::allocate = indexAllocate;
    TextBuffer::reallocate = textReallocate;
}

}  // namespace
