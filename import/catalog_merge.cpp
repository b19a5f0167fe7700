// The catalog merge and item counts: the walk of the catalog rules, step by step, with two
// changes that keep it linear. The product's albums, and the items of each album the pack
// meets, are found in tables of folded names instead of by comparing every sibling from the
// first; and the additions and counts go through one edit batch, so that the text is built
// once and every record moved once.
//
// A table answers as the walk's comparison would only while the names it holds read the same
// whatever text surrounds their tags. A name whose read runs past its start tag, or whose
// empty-element tag would read otherwise once opened up, makes its list searched the walk's
// way, on the document as it is at that moment (the batch is applied first).
#include <memory>
#include <string_view>
#include <vector>
#include <unordered_map>

#include "import/catalog_merge.h"
#include "platform/ascii_fold.h"
#include "xml/XmlDocument.h"

using platform::CompareNoCase;
using platform::FoldAscii;

bool HasCatalogForm(const CXmlDocument& catalog) {
    if (!catalog.IsWellFormed()) return false;
    const ElementHandle root = CXmlInspector(catalog).Record(0).firstChild;
    if (root != catalog.FindNamedElement(0, 0, u"mirvo")) return false;
    return catalog.FindNamedElement(root, 0, u"albums") != 0;
}

namespace {

// The first element of each name, where equal names are exactly those CompareNoCase finds
// equal: up to the first NUL, A-Z folded. The folded names lie back to back in one buffer and
// the slots are open-addressed, so a table of 200,000 albums costs no allocation per name.
class NameTable {
  public:
    // Keeps the first element of a name; later ones of the same name are not entered.
    void Insert(const CString& name, ElementHandle handle) {
        if ((used_ + 1) * 2 > slots_.size()) Grow();
        const size_t start = names_.size();
        for (char16_t c : name) {
            if (!c) break;
            names_ += FoldAscii(c);
        }
        const std::u16string_view key(names_.data() + start, names_.size() - start);
        const uint32_t hash = Hash(key);
        Slot& slot = Find(key, hash);
        if (slot.handle) {
            names_.resize(start);
            return;
        }
        slot = {hash, static_cast<uint32_t>(start), static_cast<uint32_t>(key.size()), handle};
        ++used_;
    }
    ElementHandle Lookup(const CString& name) {
        folded_.clear();
        for (char16_t c : name) {
            if (!c) break;
            folded_ += FoldAscii(c);
        }
        if (slots_.empty()) return 0;
        return Find(folded_, Hash(folded_)).handle;
    }

  private:
    struct Slot {
        uint32_t hash = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
        ElementHandle handle = 0;  // 0: empty (no element has handle 0)
    };
    static uint32_t Hash(std::u16string_view key) {
        uint32_t h = 2166136261u;
        for (char16_t c : key) h = (h ^ c) * 16777619u;
        return h;
    }
    Slot& Find(std::u16string_view key, uint32_t hash) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.handle) return slot;
            if (slot.hash == hash &&
                std::u16string_view(names_.data() + slot.offset, slot.length) == key)
                return slot;
        }
    }
    void Grow() {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (!slot.handle) continue;
            const size_t mask = slots_.size() - 1;
            size_t i = slot.hash & mask;
            while (slots_[i].handle) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::u16string names_;
    std::u16string folded_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Whether the tag at `start` of `text` has the element name `name`, as FindElement decides
// it in `doc`.
bool IsNamed(const CXmlDocument& doc, const char16_t* text, int32_t start, const char16_t* name) {
    TokenCursor cursor(text, CXmlInspector(doc).DocumentFlags());
    cursor.next = start + 1;
    return CXmlDocument::NextToken(cursor) && CXmlDocument::TokenMatches(cursor, name);
}

// GetAttribute's read of "name" in a copy of a start tag; false when the read ran to the end
// of the copy, where the document goes on with other text.
bool ReadTagName(const CXmlDocument& doc, const CString& tag, CString& value) {
    // "=" is never taken for an attribute name: this scan runs to where the read would stop.
    TokenCursor probe(tag.c_str(), CXmlInspector(doc).DocumentFlags());
    probe.next = 1;
    doc.FindAttributeToken(probe, u"=");
    if (probe.next >= static_cast<int32_t>(tag.size())) return false;
    TokenCursor cursor(tag.c_str(), CXmlInspector(doc).DocumentFlags());
    cursor.next = 1;
    value.clear();
    if (doc.FindAttributeToken(cursor, u"name"))
        value = CXmlDocument::DecodeText(tag.c_str() + cursor.nameStart,
                                         cursor.nameEnd - cursor.nameStart + 1);
    return true;
}

// The "name" of an element whose text is in `text`, as `doc` reads it; false when that read
// could change with the text around the tag.
bool StableName(const CXmlDocument& doc, const char16_t* text, const ElementRecord& r,
                CString& name) {
    const int32_t length = r.StartTagLength();
    // Mostly the name is read before the tag's end, and before the "/" that opening up an
    // empty-element tag would remove: then nothing around the tag can change the read.
    const bool content = length != r.length;
    if (content || (!(r.flags & ElemUnended) && length >= 3)) {
        TokenCursor cursor(text, CXmlInspector(doc).DocumentFlags());
        cursor.next = r.start + 1;
        if (doc.FindAttributeToken(cursor, u"name") &&
            cursor.next < r.start + length - (content ? 0 : 2)) {
            name = CXmlDocument::DecodeText(text + cursor.nameStart,
                                            cursor.nameEnd - cursor.nameStart + 1);
            return true;
        }
    }
    CString tag(text + r.start, static_cast<size_t>(length));
    if (!ReadTagName(doc, tag, name)) return false;
    if (length != r.length) return true;
    // An empty-element tag is opened up when it takes content: its "/" goes.
    if ((r.flags & ElemUnended) || length < 3) return false;
    tag.erase(static_cast<size_t>(length) - 2, 1);
    CString opened;
    return ReadTagName(doc, tag, opened) && opened == name;
}

class Merge {
  public:
    Merge(CXmlDocument& source, CXmlDocument& target)
        : source_(source), target_(target), sourceIn_(source), targetIn_(target) {}

    bool Run() {
        CXmlDocument& s = source_;
        CXmlDocument& t = target_;
        s.FindElement(u"mirvo");
        t.FindElement(u"mirvo");
        s.EnterElement();
        t.EnterElement();
        s.FindElement(u"albums");
        t.FindElement(u"albums");
        s.EnterElement();
        t.EnterElement();
        const ElementHandle albums = targetIn_.ParentHandle();
        main_ = targetIn_.MainHandle();
        child_ = targetIn_.ChildHandle();
        if (!Begin()) return false;

        while (s.FindElement(u"album")) {
            const ElementHandle album = sourceIn_.MainHandle();
            const CString name = s.GetAttribute(u"name");
            List& list = ListOf(albums, u"album");
            ElementHandle last = 0;
            const ElementHandle match = Search(list, albums, u"album", name, last);
            if (failed_) return false;
            if (!match) {
                const ElementHandle added = Append(list, albums, last, album, u"album");
                if (failed_) return false;
                main_ = added != kRefused ? added : last;
                child_ = 0;
                continue;
            }
            // Into the album: its items, as the pack's album lists them.
            s.EnterElement();
            ElementHandle itemMain = 0;
            while (s.FindElement(u"item")) {
                const CString item = s.GetAttribute(u"name");
                List& items = ListOf(match, u"item");
                ElementHandle lastItem = 0;
                const ElementHandle found = Search(items, match, u"item", item, lastItem);
                if (failed_) return false;
                if (found) {
                    itemMain = found;
                    continue;
                }
                const ElementHandle added =
                    Append(items, match, lastItem, sourceIn_.MainHandle(), u"item");
                if (failed_) return false;
                itemMain = added != kRefused ? added : lastItem;
            }
            s.LeaveElement();
            main_ = match;
            child_ = itemMain;
        }
        if (!batch_->Apply()) return false;

        // The walk's last moves: up twice in each document.
        t.SetPosition(albums, main_, child_);
        s.LeaveElement();
        t.LeaveElement();
        s.LeaveElement();
        t.LeaveElement();
        return true;
    }

  private:
    static constexpr ElementHandle kRefused = ~ElementHandle{0};

    // The elements of one name under one parent: the first of each folded name, the last.
    struct List {
        bool stable = true;
        ElementHandle last = 0;
        NameTable first;
    };

    bool Begin() {
        batch_ = std::make_unique<CXmlEditBatch>(target_);
        batchStart_ = static_cast<ElementHandle>(targetIn_.NextRecord());
        return true;
    }

    // Applies what the batch holds, so that the document can be read the walk's way.
    bool Flush() {
        if (!batch_->Apply()) {
            failed_ = true;
            return false;
        }
        return Begin();
    }

    void Add(List& list, const CXmlDocument& doc, const char16_t* text, ElementHandle handle,
             const ElementRecord& r) {
        CString name;
        if (!StableName(doc, text, r, name)) list.stable = false;
        list.first.Insert(name, handle);
        list.last = handle;
    }

    List& ListOf(ElementHandle parent, const char16_t* kind) {
        auto found = lists_.find(parent);
        if (found != lists_.end()) return found->second;
        List& list = lists_[parent];
        const CXmlDocument& t = target_;
        auto copy = copies_.find(parent);
        if (parent >= batchStart_ && copy != copies_.end()) {
            // Added by this batch: its text is not in place yet, but it is the pack's.
            const char16_t* text = sourceIn_.DocumentText().c_str();
            ElementHandle tc = targetIn_.Record(parent).firstChild;
            ElementHandle sc = sourceIn_.Record(copy->second).firstChild;
            for (; tc && sc;
                 tc = targetIn_.Record(tc).nextSibling, sc = sourceIn_.Record(sc).nextSibling) {
                const ElementRecord& r = sourceIn_.Record(sc);
                if (IsNamed(t, text, r.start, kind)) Add(list, t, text, tc, r);
            }
            if (tc || sc) list.stable = false;
            return list;
        }
        if (parent >= batchStart_ && !Flush()) return list;
        const char16_t* text = targetIn_.DocumentText().c_str();
        for (ElementHandle c = targetIn_.Record(parent).firstChild; c;
             c = targetIn_.Record(c).nextSibling) {
            const ElementRecord& r = targetIn_.Record(c);
            if (IsNamed(t, text, r.start, kind)) Add(list, t, text, c, r);
        }
        return list;
    }

    // The first element of the list whose name equals `name`, 0 when none; `last` gets the
    // element the walk's search ends on when it finds none.
    ElementHandle Search(List& list, ElementHandle parent, const char16_t* kind,
                         const CString& name, ElementHandle& last) {
        if (list.stable) {
            last = list.last;
            return list.first.Lookup(name);
        }
        if (!Flush()) return 0;
        CXmlDocument& t = target_;
        t.SetPosition(parent, 0, 0);
        while (t.FindElement(kind)) {
            if (CompareNoCase(t.GetAttribute(u"name").c_str(), name.c_str()) == 0)
                return targetIn_.MainHandle();
        }
        last = targetIn_.MainHandle();
        return 0;
    }

    // AppendSubtree of the pack's element after `after`; the first element added, 0 when the
    // text held none, kRefused when nothing was inserted.
    ElementHandle Append(List& list, ElementHandle parent, ElementHandle after, ElementHandle from,
                         const char16_t* kind) {
        const CString text = source_.GetSubtreeText();
        const ElementHandle mark = static_cast<ElementHandle>(targetIn_.NextRecord());
        bool single = false;
        const ElementHandle added = batch_->AppendSubtree(parent, after, text.c_str(), 0, &single);
        if (batch_->Failed()) {
            failed_ = true;
            return 0;
        }
        if (static_cast<ElementHandle>(targetIn_.NextRecord()) == mark) return kRefused;
        if (!added) return 0;
        const ElementRecord& r = sourceIn_.Record(from);
        if (!single) {
            // Not the pack's element alone: let the walk's way read what came in.
            list.stable = false;
        } else if (IsNamed(target_, sourceIn_.DocumentText().c_str(), r.start, kind)) {
            copies_[added] = from;
            Add(list, target_, sourceIn_.DocumentText().c_str(), added, r);
        }
        return added;
    }

    CXmlDocument& source_;
    CXmlDocument& target_;
    const CXmlInspector sourceIn_, targetIn_;
    std::unique_ptr<CXmlEditBatch> batch_;
    ElementHandle batchStart_ = 0;
    bool failed_ = false;
    std::unordered_map<ElementHandle, List> lists_;
    std::unordered_map<ElementHandle, ElementHandle> copies_;  // added element -> pack element
    // The target's positions at the albums' level, as the walk leaves them.
    ElementHandle main_ = 0, child_ = 0;
};

}  // namespace

bool MergeCatalog(CXmlDocument& source, CXmlDocument& target) {
    try {
        Merge merge(source, target);
        return merge.Run();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool UpdateItemCounts(CXmlDocument& target) {
    try {
        // The walk itself; only its edits wait in the batch. The walk reads links and tags
        // of elements that the count edits do not touch.
        CXmlEditBatch batch(target);
        const CXmlInspector in(target);
        target.FindElement(u"mirvo");
        target.EnterElement();
        target.FindElement(u"albums");
        target.EnterElement();
        while (target.FindElement(u"album")) {
            target.EnterElement();
            // The walk's two searches, for the items and then for the first "ElemCount", in
            // one pass over the album's children.
            const ElementHandle album = in.ParentHandle();
            const TextBuffer& text = in.DocumentText();
            TokenCursor cursor(text.c_str(), in.DocumentFlags());
            int32_t count = 0;
            ElementHandle elemCount = 0;
            for (ElementHandle c = in.Record(album).firstChild; c; c = in.Record(c).nextSibling) {
                const int32_t start = in.Record(c).start;
                if (start < 0 || start >= text.length()) continue;
                cursor.next = start + 1;
                if (!CXmlDocument::NextToken(cursor)) continue;
                if (CXmlDocument::TokenMatches(cursor, u"item")) ++count;
                if (!elemCount && CXmlDocument::TokenMatches(cursor, u"ElemCount")) elemCount = c;
            }
            const CString digits = DecimalText(count);
            if (elemCount) {
                target.SetPosition(album, elemCount, 0);
                batch.SetContent(elemCount, digits.c_str(), 0);
            } else if (const ElementHandle added =
                           batch.AppendElement(album, 0, u"ElemCount", digits.c_str(), 0)) {
                target.SetPosition(album, added, 0);
            }
            if (batch.Failed()) return false;
            target.LeaveElement();
        }
        target.LeaveElement();
        target.LeaveElement();
        return batch.Apply();
    } catch (const std::bad_alloc&) {
        return false;
    }
}
