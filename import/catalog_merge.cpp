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
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "import/catalog_merge.h"
#include "platform/ascii_fold.h"
#include "platform/key_table.h"
#include "xml/XmlDocument.h"

using platform::CompareNoCase;
using platform::FoldAscii;
using platform::KeyTable;

bool HasCatalogForm(const CXmlDocument& catalog) {
    if (!catalog.IsWellFormed()) return false;
    const ElementHandle root = catalog.FirstChild(0);
    if (root != catalog.FindNamedElement(0, 0, u"mirvo")) return false;
    return catalog.FindNamedElement(root, 0, u"albums") != 0;
}

namespace {

// An array of plain values that grows by realloc: a large one grows in place, where a vector
// would copy it into fresh pages at every doubling.
template <typename T>
class GrowingArray {
  public:
    GrowingArray() = default;
    GrowingArray(const GrowingArray&) = delete;
    GrowingArray& operator=(const GrowingArray&) = delete;
    ~GrowingArray() { std::free(data_); }
    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_[i]; }
    // New elements are value-initialized.
    void resize(size_t size) {
        if (size > capacity_) {
            size_t capacity = capacity_ ? capacity_ * 2 : 64;
            if (capacity < size) capacity = size;
            if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
            T* grown = static_cast<T*>(std::realloc(data_, capacity * sizeof(T)));
            if (!grown) throw std::bad_alloc();
            data_ = grown;
            capacity_ = capacity;
        }
        for (size_t i = size_; i < size; ++i) data_[i] = T{};
        size_ = size;
    }
    void push_back(const T& value) {
        resize(size_ + 1);
        data_[size_ - 1] = value;
    }

  private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// From the element's "<" to its last ">", without the whitespace after it.
CString ElementText(const CXmlDocument& doc, ElementHandle element) {
    CString text = doc.GetElementSubtreeText(element);
    while (!text.empty() && text.back() != u'>') text.pop_back();
    return text;
}

// The first element of each name in each list, where equal names are exactly those
// CompareNoCase finds equal: up to the first NUL, A-Z folded. The folded names of every list lie
// back to back in one buffer, and each list's open-addressed slots are a range of one array,
// so the lists of 200,000 albums and of their items cost no allocation per list or name.
class NameLists {
  public:
    struct Range {
        uint32_t begin = 0;
        uint32_t size = 0;  // a power of two, or 0
        uint32_t used = 0;
    };
    // Makes room in `r`, which is empty, for `names` names.
    void Reserve(Range& r, size_t names) {
        size_t size = 16;
        while (size < names * 2) size *= 2;
        Move(r, size);
    }
    // Keeps the first element of a name; later ones of the same name are not entered.
    void Insert(Range& r, const CString& name, ElementHandle handle) {
        if ((r.used + 1) * 2 > r.size) Move(r, r.size ? size_t{r.size} * 2 : 16);
        const size_t start = names_.size();
        for (char16_t c : name) {
            if (!c) break;
            names_.push_back(FoldAscii(c));
        }
        const std::u16string_view key(names_.data() + start, names_.size() - start);
        const uint32_t hash = Hash(key);
        Slot& slot = Find(r, key, hash);
        if (slot.handle) {
            names_.resize(start);
            return;
        }
        slot = {hash, static_cast<uint32_t>(start), static_cast<uint32_t>(key.size()), handle};
        ++r.used;
    }
    ElementHandle Lookup(const Range& r, const CString& name) {
        folded_.clear();
        for (char16_t c : name) {
            if (!c) break;
            folded_ += FoldAscii(c);
        }
        if (!r.size) return 0;
        return Find(r, folded_, Hash(folded_)).handle;
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
    Slot& Find(const Range& r, std::u16string_view key, uint32_t hash) {
        Slot* const slots = slots_.data() + r.begin;
        const size_t mask = r.size - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots[i];
            if (!slot.handle) return slot;
            if (slot.hash == hash &&
                std::u16string_view(names_.data() + slot.offset, slot.length) == key)
                return slot;
        }
    }
    // The list's slots into a fresh range of `size` at the end; the old range is left unused
    // (the ranges left behind add up to less than those in use).
    void Move(Range& r, size_t size) {
        const size_t begin = slots_.size();
        if (size > UINT32_MAX || begin + size > UINT32_MAX) throw std::bad_alloc();
        slots_.resize(begin + size);
        Slot* const slots = slots_.data() + begin;
        for (size_t k = r.begin; k < size_t{r.begin} + r.size; ++k) {
            const Slot& slot = slots_[k];
            if (!slot.handle) continue;
            size_t i = slot.hash & (size - 1);
            while (slots[i].handle) i = (i + 1) & (size - 1);
            slots[i] = slot;
        }
        r.begin = static_cast<uint32_t>(begin);
        r.size = static_cast<uint32_t>(size);
    }

    GrowingArray<char16_t> names_;
    std::u16string folded_;
    GrowingArray<Slot> slots_;
};

class Merge {
  public:
    Merge(CXmlDocument& source, CXmlDocument& target, MergeLog* log)
        : source_(source),
          target_(target),
          log_(log),
          batch_(std::make_unique<CXmlEditBatch>(target)),
          sameCase_(source.IgnoresCase() == target.IgnoresCase()) {}

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
        const ElementHandle albums = t.ParentHandle();
        albums_ = albums;
        main_ = t.MainHandle();
        child_ = t.ChildHandle();

        while (s.FindElement(u"album")) {
            const ElementHandle album = s.MainHandle();
            const CString name = s.GetAttribute(u"name");
            List& list = ListOf(albums, u"album");
            ElementHandle last = 0;
            const ElementHandle match = Search(list, albums, u"album", name, last);
            if (failed_) return false;
            if (!match) {
                const ParentForm form = Opening(albums);
                const ElementHandle added = Append(list, albums, last, album, u"album");
                if (failed_) return false;
                Note(Receipt::Kind::Album, added, albums, form);
                main_ = added != kRefused ? added : last;
                child_ = 0;
                continue;
            }
            Found(match, 0);
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
                    Found(match, found);
                    itemMain = found;
                    continue;
                }
                const ParentForm form = Opening(match);
                const ElementHandle added = Append(items, match, lastItem, s.MainHandle(), u"item");
                if (failed_) return false;
                Note(Receipt::Kind::Item, added, match, form);
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

    // An element added into `parent` (the albums, or an album for an item). What goes into an
    // album this merge added is part of that album's text, no change of its own.
    void Note(Receipt::Kind kind, ElementHandle added, ElementHandle parent, ParentForm form) {
        if (!log_ || added == 0 || added == kRefused) return;
        log_->added.insert(added);
        if (log_->added.count(parent)) return;
        log_->opened.insert(parent);
        const ElementHandle album = kind == Receipt::Kind::Item ? parent : 0;
        log_->changes.push_back({kind, added, album, form, false, {}});
    }

    ParentForm Opening(ElementHandle parent) {
        if (!log_ || log_->added.count(parent)) return ParentForm::Content;
        return log_->Opening(target_, parent);
    }

    // The pack's album or item found in the target; only what the target had before counts.
    void Found(ElementHandle album, ElementHandle item) {
        if (!log_ || log_->added.count(album) || log_->added.count(item)) return;
        if (log_->seen.insert(item ? item : album).second) log_->found.emplace_back(album, item);
    }

    // The elements of one name under one parent: the first of each folded name, the last.
    struct List {
        bool stable = true;
        ElementHandle last = 0;
        NameLists::Range first;
    };

    // Applies what the batch holds, so that the document can be read the walk's way.
    bool Flush() {
        if (!batch_->Apply()) {
            failed_ = true;
            return false;
        }
        batch_ = std::make_unique<CXmlEditBatch>(target_);
        return true;
    }

    // Enters the target's element `handle` by the "name" of `element`, which holds its text in
    // `doc`.
    void Add(List& list, const CXmlDocument& doc, ElementHandle element, ElementHandle handle) {
        if (!doc.GetStableAttribute(element, u"name", name_)) list.stable = false;
        names_.Insert(list.first, name_, handle);
        list.last = handle;
    }

    // Room in a new list for the children of `parent`, counted once instead of the list's
    // table growing through them.
    void Reserve(List& list, const CXmlDocument& doc, ElementHandle parent) {
        size_t children = 0;
        for (ElementHandle c = doc.FirstChild(parent); c; c = doc.NextSibling(c)) ++children;
        names_.Reserve(list.first, children);
    }

    List& ListOf(ElementHandle parent, const char16_t* kind) {
        if (const int32_t found = listOf_.Find(parent); found != KeyTable::kNone)
            return lists_[static_cast<size_t>(found)];
        lists_.emplace_back();
        listOf_.Insert(parent, static_cast<int32_t>(lists_.size()) - 1);
        List& list = lists_.back();
        const CXmlDocument& t = target_;
        const int32_t found = copies_.Find(parent);
        const ElementHandle copy = found == KeyTable::kNone ? 0 : static_cast<ElementHandle>(found);
        if (batch_->Holds(parent) && copy) {
            // Added by this batch: its text is not in place yet, but it is the pack's, and the
            // pack reads it as the target will when both compare names alike.
            if (!sameCase_) list.stable = false;
            Reserve(list, source_, copy);
            ElementHandle tc = t.FirstChild(parent);
            ElementHandle sc = source_.FirstChild(copy);
            for (; tc && sc; tc = t.NextSibling(tc), sc = source_.NextSibling(sc))
                if (source_.IsNamed(sc, kind)) Add(list, source_, sc, tc);
            if (tc || sc) list.stable = false;
            return list;
        }
        if (batch_->Holds(parent) && !Flush()) return list;
        Reserve(list, t, parent);
        for (ElementHandle c = t.FirstChild(parent); c; c = t.NextSibling(c))
            if (t.IsNamed(c, kind)) Add(list, t, c, c);
        return list;
    }

    // The first element of the list whose name equals `name`, 0 when none; `last` gets the
    // element the walk's search ends on when it finds none.
    ElementHandle Search(List& list, ElementHandle parent, const char16_t* kind,
                         const CString& name, ElementHandle& last) {
        if (list.stable) {
            last = list.last;
            return names_.Lookup(list.first, name);
        }
        if (!Flush()) return 0;
        CXmlDocument& t = target_;
        t.SetPosition(parent, 0, 0);
        while (t.FindElement(kind)) {
            if (CompareNoCase(t.GetAttribute(u"name").c_str(), name.c_str()) == 0)
                return t.MainHandle();
        }
        last = t.MainHandle();
        return 0;
    }

    // AppendSubtree of the pack's element `from` (the pack's position) after `after`; the
    // first element added, 0 when the text held none, kRefused when nothing was inserted.
    ElementHandle Append(List& list, ElementHandle parent, ElementHandle after, ElementHandle from,
                         const char16_t* kind) {
        bool single = false;
        bool inserted = false;
        const ElementHandle added =
            batch_->AppendSubtreeFrom(parent, after, source_, from, 0, &single, &inserted);
        if (batch_->Failed()) {
            failed_ = true;
            return 0;
        }
        if (!inserted) return kRefused;
        if (!added) return 0;
        // Not the pack's element alone, or not read alike in the pack: let the walk's way
        // read what came in.
        if (!single || !sameCase_) list.stable = false;
        if (single && source_.IsNamed(from, kind)) {
            // Only the albums' children are lists' parents later.
            if (parent == albums_) copies_.Insert(added, static_cast<int32_t>(from));
            Add(list, source_, from, added);
        }
        return added;
    }

    CXmlDocument& source_;
    CXmlDocument& target_;
    MergeLog* log_;
    std::unique_ptr<CXmlEditBatch> batch_;
    // Whether the pack's names compare as the target's do, so that the pack can read for it.
    const bool sameCase_;
    bool failed_ = false;
    ElementHandle albums_ = 0;
    // The lists, found by their parent; a deque, so that a list stays where it is while
    // others are added.
    std::deque<List> lists_;
    KeyTable listOf_;
    NameLists names_;
    CString name_;     // the name of the element entered last
    KeyTable copies_;  // added album -> pack album
    // The target's positions at the albums' level, as the walk leaves them.
    ElementHandle main_ = 0, child_ = 0;
};

}  // namespace

ParentForm MergeLog::Opening(const CXmlDocument& target, ElementHandle parent) const {
    return opened.count(parent) ? ParentForm::Content : target.GetElementForm(parent);
}

bool MergeCatalog(CXmlDocument& source, CXmlDocument& target, MergeLog* log) {
    try {
        Merge merge(source, target, log);
        return merge.Run();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool UpdateItemCounts(CXmlDocument& target, MergeLog* log) {
    try {
        // The walk itself; only its edits wait in the batch. The walk reads links and tags
        // of elements that the count edits do not touch.
        CXmlEditBatch batch(target);
        target.FindElement(u"mirvo");
        target.EnterElement();
        target.FindElement(u"albums");
        target.EnterElement();
        while (target.FindElement(u"album")) {
            target.EnterElement();
            // The walk's two searches, for the items and then for the first "ElemCount", in
            // one pass over the album's children.
            const ElementHandle album = target.ParentHandle();
            int32_t count = 0;
            ElementHandle elemCount = 0;
            for (ElementHandle c = target.FirstChild(album); c; c = target.NextSibling(c)) {
                if (target.IsNamed(c, u"item"))
                    ++count;
                else if (!elemCount && target.IsNamed(c, u"ElemCount"))
                    elemCount = c;
            }
            const CString digits = DecimalText(count);
            // An album this import added holds its count in its own text.
            const bool noted = log && !log->added.count(album);
            if (elemCount) {
                target.SetPosition(album, elemCount, 0);
                if (noted)
                    log->changes.push_back({Receipt::Kind::Count, elemCount, album,
                                            ParentForm::Content, false,
                                            ElementText(target, elemCount)});
                batch.SetContent(elemCount, digits.c_str(), 0);
            } else {
                const ParentForm form = noted ? log->Opening(target, album) : ParentForm::Content;
                if (const ElementHandle added =
                        batch.AppendElement(album, 0, u"ElemCount", digits.c_str(), 0)) {
                    target.SetPosition(album, added, 0);
                    if (noted) {
                        log->opened.insert(album);
                        log->changes.push_back(
                            {Receipt::Kind::Count, added, album, form, true, {}});
                    }
                }
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

void NoteChanges(const MergeLog& log, const CXmlDocument& target, Receipt& receipt) {
    for (const MergeLog::Change& c : log.changes) {
        Receipt::Change change;
        change.kind = c.kind;
        change.album = target.GetElementAttribute(
            c.kind == Receipt::Kind::Album ? c.element : c.album, u"name");
        if (c.kind == Receipt::Kind::Item)
            change.item = target.GetElementAttribute(c.element, u"name");
        change.parent = c.parent;
        change.created = c.created;
        change.before = c.before;
        change.text = ElementText(target, c.element);
        if (c.kind == Receipt::Kind::Count && !c.created && change.text == change.before) continue;
        receipt.changes.push_back(std::move(change));
    }
    for (const auto& [album, item] : log.found)
        receipt.foundItems.push_back(
            {target.GetElementAttribute(album, u"name"),
             item ? target.GetElementAttribute(item, u"name") : CString()});
}
