// The catalog merge and item counts in linear time, with the text and the element records
// that the walk of catalog_merge.cpp leaves, byte for byte.
//
// The walk costs the product of the sizes twice over: every name is compared with every
// sibling from the first, and every addition moves the text and the records behind it. Here
// the first album or item of a name is found in a table of folded names that grows with the
// additions, and the additions are only planned while the walk runs: each one goes where the
// walk would put it, described against the text as it was. One pass at the end builds the new
// text and moves every record to its new place.
//
// Where an addition goes follows from the text around one place per parent: the walk always
// appends after the last element of the searched name, and once it has added one, that new
// element is the last. So each parent that receives additions has one "gap" in the text as it
// was, and everything it receives stands there in order.
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "import/catalog_merge.h"
#include "import/import.h"
#include "xml/XmlDocument.h"

namespace {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool IsEmptyTag(const ElementRecord& r) {
    return r.StartTagLength() == r.length;
}
bool HasNoContent(const ElementRecord& r) {
    return r.length - r.EndTagLength() - r.StartTagLength() == 0;
}

// Navigation fields, kept so that a merge that is not taken leaves them as they were.
struct Position {
    ElementHandle parent, main, child;
    int32_t type, offset, length;
};

Position SavePosition(const CXmlDocument& d) {
    return {d.parentHandle, d.mainHandle, d.childHandle, d.nodeType, d.nodeOffset, d.nodeLength};
}

void RestorePosition(CXmlDocument& d, const Position& p) {
    d.parentHandle = p.parent;
    d.mainHandle = p.main;
    d.childHandle = p.child;
    d.nodeType = p.type;
    d.nodeOffset = p.offset;
    d.nodeLength = p.length;
}

// Whether the tag at `handle` in `text` has the element name `name`, as FindElement decides.
bool IsNamed(const char16_t* text, uint32_t flags, const ElementRecord& r, const char16_t* name) {
    TokenCursor cursor(text, flags);
    cursor.next = r.start + 1;
    return CXmlDocument::NextToken(cursor) && CXmlDocument::TokenMatches(cursor, name);
}

// The tag name of an element, as GetElementName reads it.
CString ElementName(const char16_t* text, uint32_t flags, const ElementRecord& r) {
    TokenCursor cursor(text, flags);
    cursor.next = r.start + 1;
    if (!CXmlDocument::NextToken(cursor)) return CString();
    return CXmlDocument::TokenText(cursor);
}

// Whether an element written as an empty-element tag can be opened up to take content: the
// insertion refuses an unended one here and a name too long for the end-tag field.
bool CanOpen(const char16_t* text, uint32_t flags, const ElementRecord& r) {
    if (r.flags & ElemUnended) return false;
    const CString name = ElementName(text, flags, r);
    return !name.empty() && static_cast<int64_t>(name.size()) + 3 <= kMaxEndTagLength;
}

// ---- names ------------------------------------------------------------------------------

// Folded names: the decoded value up to its first NUL (where the comparison of the walk
// stops), with A-Z folded to a-z; equal keys are exactly the names that compare equal.
class NameTable {
  public:
    // The value stored under (owner, key), or -1.
    int32_t Find(int32_t owner, std::u16string_view key) const {
        if (slots_.empty()) return -1;
        const uint64_t hash = Hash(owner, key);
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.value < 0) return -1;
            if (s.hash == hash && s.owner == owner && s.length == key.size() &&
                std::memcmp(keys_.data() + s.offset, key.data(), key.size() * 2) == 0)
                return s.value;
        }
    }

    // Stores a key that is not in the table yet.
    void Insert(int32_t owner, std::u16string_view key, int32_t value) {
        if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
        const uint64_t hash = Hash(owner, key);
        size_t i = hash & mask_;
        while (slots_[i].value >= 0) i = (i + 1) & mask_;
        slots_[i] = {hash, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(key.size()),
                     owner, value};
        keys_.append(key);
        ++used_;
    }

  private:
    struct Slot {
        uint64_t hash;
        uint32_t offset;
        uint32_t length;
        int32_t owner;
        int32_t value;  // -1: empty slot
    };

    static uint64_t Hash(int32_t owner, std::u16string_view key) {
        uint64_t h = 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(owner);
        for (char16_t c : key) h = (h ^ c) * 0x100000001B3ull;
        return h ^ (h >> 29);
    }

    void Grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        const size_t size = old.empty() ? 1024 : old.size() * 2;
        slots_.assign(size, Slot{0, 0, 0, 0, -1});
        mask_ = size - 1;
        for (const Slot& s : old) {
            if (s.value < 0) continue;
            size_t i = s.hash & mask_;
            while (slots_[i].value >= 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::u16string keys_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

// Reads the "name" attribute of an element as GetAttribute does, from a copy of its start tag.
// The attribute scan may run past a start tag (a quote it takes for the start of a value that
// the parser did not), and then its result depends on text that additions change; such a tag,
// or an empty-element tag whose name would read differently once opened up, is refused.
class NameReader {
  public:
    explicit NameReader(const CXmlDocument& doc) : doc_(doc) {}

    bool Read(const char16_t* text, const ElementRecord& r, bool mayOpen) {
        const int32_t length = r.StartTagLength();
        tag_.assign(text + r.start, static_cast<size_t>(length));
        if (!Scan(length, value_)) return false;
        if (mayOpen && IsEmptyTag(r)) {
            if (r.flags & ElemUnended) return false;
            tag_.erase(static_cast<size_t>(length) - 2, 1);  // the "/" of "/>"
            if (!Scan(length - 1, opened_) || opened_ != value_) return false;
        }
        key_.clear();
        for (char16_t c : value_) {
            if (!c) break;
            key_ += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
        }
        return true;
    }

    std::u16string_view key() const { return key_; }

  private:
    bool Scan(int32_t length, CString& value) {
        const uint32_t flags = doc_.documentFlags;
        // "=" is never taken for an attribute name, so this scan runs to the end of the tag;
        // it stops short of the terminator exactly when it never looked past the tag.
        TokenCursor probe(tag_.c_str(), flags);
        probe.next = 1;
        doc_.FindAttributeToken(probe, u"=");
        if (probe.next >= length) return false;
        TokenCursor cursor(tag_.c_str(), flags);
        cursor.next = 1;
        value.clear();
        if (!doc_.FindAttributeToken(cursor, u"name")) return true;
        const char16_t* v = tag_.c_str() + cursor.nameStart;
        const int32_t n = cursor.nameEnd - cursor.nameStart + 1;
        if (n <= 0) return true;
        if (std::find(v, v + n, u'&') == v + n) {
            value.assign(v, static_cast<size_t>(n));
        } else {
            value = CXmlDocument::DecodeText(v, n);
        }
        return true;
    }

    const CXmlDocument& doc_;
    CString tag_;
    CString value_, opened_, key_;
};

// ---- the one pass that applies the planned additions ------------------------------------

// A text added in one piece: a copied element (its records hold offsets into `text`), or an
// element built here.
struct Piece {
    const char16_t* text = nullptr;
    int32_t arenaOffset = -1;  // the text is in the splicer's arena instead
    int32_t length = 0;
    ElementHandle first = 0, end = 0;  // its records
    int32_t gap = -1;                  // additions inside it
    int32_t next = -1;                 // the next piece of its gap
    int32_t outStart = 0;
};

// One place of the text as it was that changes: `removed` characters at `at` give way to the
// prefix, the pieces and the suffix. With `spaced`, a line break follows each piece; without,
// all the line breaks follow the last piece (the walk then adds each element right after the
// one before, ahead of the earlier line breaks).
struct Gap {
    int32_t at = 0;
    int32_t removed = 0;
    bool spaced = true;
    CString prefix, suffix;
    int32_t firstPiece = -1, lastPiece = -1, pieceCount = 0;
    ElementHandle last = 0;  // the element added last, which the next addition follows
    int32_t delta = 0;       // characters gained
};

class Splicer {
  public:
    std::vector<Gap> gaps;
    std::vector<Piece> pieces;
    std::vector<int32_t> rootGaps;  // the gaps in the document's own text
    CString arena;

    int32_t AddGap(int32_t owner) {
        gaps.emplace_back();
        const int32_t g = static_cast<int32_t>(gaps.size()) - 1;
        if (owner < 0) {
            rootGaps.push_back(g);
        } else {
            pieces[owner].gap = g;
        }
        return g;
    }

    void AddPiece(int32_t g, int32_t p) {
        Gap& gap = gaps[g];
        if (gap.lastPiece < 0) {
            gap.firstPiece = p;
        } else {
            pieces[gap.lastPiece].next = p;
        }
        gap.lastPiece = p;
        ++gap.pieceCount;
    }

    // Builds the new text and moves every record of the document (those below `oldNext`) and
    // of the pieces to its place in it.
    bool Apply(CXmlDocument& doc, ElementHandle oldNext) {
        for (Piece& p : pieces) {
            if (p.arenaOffset >= 0) p.text = arena.data() + p.arenaOffset;
        }
        std::stable_sort(rootGaps.begin(), rootGaps.end(),
                         [&](int32_t a, int32_t b) { return gaps[a].at < gaps[b].at; });
        const int32_t oldLength = doc.documentText.length();
        const int64_t total = Measure(oldLength, rootGaps.data(), rootGaps.size());
        if (total > INT32_MAX) return false;
        TextBuffer text;
        if (!text.Resize(static_cast<int32_t>(total))) return false;
        char16_t* out = text.data();
        begin_ = out;
        Emit(doc.documentText.c_str(), oldLength, rootGaps.data(), rootGaps.size(), out);
        assert(out - begin_ == total);

        MoveDocumentRecords(doc, oldNext);
        for (const Piece& p : pieces) {
            const Gap* g = p.gap >= 0 ? &gaps[p.gap] : nullptr;
            for (ElementHandle h = p.first; h < p.end; ++h) {
                ElementRecord& r = doc.RecordAt(h);
                if (r.flags == ElemReleased) continue;
                const int32_t s = r.start;
                const int32_t e = s + r.length;
                const int32_t start = p.outStart + s + (g && g->at <= s ? g->delta : 0);
                const int32_t end = p.outStart + e + (g && g->at < e ? g->delta : 0);
                r.start = start;
                r.length = end - start;
            }
        }
        doc.RecordAt(0).length = static_cast<int32_t>(total);
        doc.documentText.Swap(text);
        return true;
    }

  private:
    int64_t Measure(int32_t length, const int32_t* list, size_t count) {
        int64_t n = length;
        for (size_t i = 0; i < count; ++i) {
            const Gap& g = gaps[list[i]];
            n += static_cast<int64_t>(g.prefix.size()) + g.suffix.size() - g.removed +
                 2 * static_cast<int64_t>(g.pieceCount);
            for (int32_t p = g.firstPiece; p >= 0; p = pieces[p].next) {
                const Piece& piece = pieces[p];
                n += piece.gap >= 0 ? Measure(piece.length, &piece.gap, 1) : piece.length;
            }
        }
        return n;
    }

    static void Put(char16_t*& out, const char16_t* s, size_t n) {
        std::memcpy(out, s, n * sizeof(char16_t));
        out += n;
    }

    // Pieces hold at most one level of gaps (items added to an added album), so this goes two
    // levels deep whatever the documents hold.
    void Emit(const char16_t* text, int32_t length, const int32_t* list, size_t count,
              char16_t*& out) {
        int32_t pos = 0;
        for (size_t i = 0; i < count; ++i) {
            Gap& g = gaps[list[i]];
            Put(out, text + pos, static_cast<size_t>(g.at - pos));
            char16_t* const gapStart = out;
            Put(out, g.prefix.data(), g.prefix.size());
            for (int32_t p = g.firstPiece; p >= 0; p = pieces[p].next) {
                Piece& piece = pieces[p];
                piece.outStart = static_cast<int32_t>(out - begin_);
                const int32_t* inner = piece.gap >= 0 ? &piece.gap : nullptr;
                Emit(piece.text, piece.length, inner, inner ? 1 : 0, out);
                if (g.spaced) Put(out, u"\r\n", 2);
            }
            if (!g.spaced) {
                for (int32_t k = 0; k < g.pieceCount; ++k) Put(out, u"\r\n", 2);
            }
            Put(out, g.suffix.data(), g.suffix.size());
            g.delta = static_cast<int32_t>(out - gapStart) - g.removed;
            pos = g.at + g.removed;
        }
        Put(out, text + pos, static_cast<size_t>(length - pos));
    }

    // A record moves by what the gaps before it gained: a gap at its start comes before it, a
    // gap at its end lies outside it. Records come mostly in text order, so the gap that
    // follows a record's start is found by stepping on from the last one.
    void MoveDocumentRecords(CXmlDocument& doc, ElementHandle oldNext) {
        const size_t n = rootGaps.size();
        std::vector<int32_t> at(n);
        std::vector<int64_t> gained(n + 1, 0);
        for (size_t i = 0; i < n; ++i) {
            at[i] = gaps[rootGaps[i]].at;
            gained[i + 1] = gained[i] + gaps[rootGaps[i]].delta;
        }
        size_t cursor = 0;
        int32_t lastStart = 0;
        for (ElementHandle h = 1; h < oldNext; ++h) {
            ElementRecord& r = doc.RecordAt(h);
            if (r.flags == ElemReleased) continue;
            const int32_t s = r.start;
            const int32_t e = s + r.length;
            if (s < lastStart) {
                cursor =
                    static_cast<size_t>(std::upper_bound(at.begin(), at.end(), s) - at.begin());
            } else {
                while (cursor < n && at[cursor] <= s) ++cursor;
            }
            lastStart = s;
            size_t endIndex = cursor;
            if (cursor < n && at[cursor] < e) {
                endIndex = static_cast<size_t>(
                    std::lower_bound(at.begin() + static_cast<std::ptrdiff_t>(cursor), at.end(),
                                     e) -
                    at.begin());
            }
            const int64_t start = s + gained[cursor];
            r.start = static_cast<int32_t>(start);
            r.length = static_cast<int32_t>(e + gained[endIndex] - start);
        }
    }

    char16_t* begin_ = nullptr;
};

// Room for `needed` records in as few growth steps as the one-segment rule allows.
bool ReserveRecords(CXmlDocument& doc, int64_t needed) {
    if (needed > INT32_MAX) return false;
    while (doc.elementIndex.recordCapacity < needed) {
        const int32_t before = doc.elementIndex.recordCapacity;
        if (!doc.GrowIndex(static_cast<int32_t>(needed)) ||
            doc.elementIndex.recordCapacity == before)
            return false;
    }
    return true;
}

int64_t SubtreeSize(const CXmlDocument& doc, ElementHandle top) {
    int64_t count = 1;
    ElementHandle h = top;
    for (;;) {
        const ElementRecord& r = doc.RecordAt(h);
        if (r.firstChild) {
            h = r.firstChild;
            ++count;
            continue;
        }
        while (h != top && !doc.RecordAt(h).nextSibling) h = doc.RecordAt(h).parent;
        if (h == top) return count;
        h = doc.RecordAt(h).nextSibling;
        ++count;
    }
}

// The place of a parent's first addition, following InsertText: after the last element of
// the searched name (over whitespace up to markup), or at the end of the parent's content,
// opening up an empty-element tag. `text` is the text the parent's record points into.
void OpenGap(Gap& g, CXmlDocument& doc, const char16_t* text, ElementHandle parent,
             ElementHandle after) {
    ElementRecord& p = doc.RecordAt(parent);
    if (after) {
        const ElementRecord& a = doc.RecordAt(after);
        const int32_t end = a.start + a.length;
        int32_t pos = end;
        while (IsSpace(text[pos])) ++pos;
        if (!text[pos] || text[pos] == u'<') {
            g.at = pos;
        } else {
            g.at = end;
            g.spaced = false;
        }
        return;
    }
    if (IsEmptyTag(p)) {
        // The caller has made sure it can be opened: not unended, and a name that fits.
        const CString name = ElementName(text, doc.documentFlags, p);
        g.at = p.start + p.length - 2;
        g.removed = 1;
        g.prefix = u">\r\n";
        g.suffix = u"</" + name;
        p.SetStartTagLength(p.StartTagLength() - 1);
        p.SetEndTagLength(static_cast<int32_t>(name.size()) + 3);
    } else if (HasNoContent(p)) {
        g.at = p.start + p.StartTagLength();
        g.prefix = u"\r\n";
    } else {
        g.at = p.start + p.length - p.EndTagLength();
    }
}

// ---- the merge ----------------------------------------------------------------------------

class FastMerge {
  public:
    FastMerge(CXmlDocument& source, CXmlDocument& target)
        : source_(source), target_(target), sourceNames_(source), targetNames_(target) {}

    bool Run() {
        if (&source_ == &target_) return false;
        const Position sourceAt = SavePosition(source_);
        const Position targetAt = SavePosition(target_);
        if (!Plan() || !Reserve()) {
            RestorePosition(source_, sourceAt);
            RestorePosition(target_, targetAt);
            return false;
        }
        Apply();
        return true;
    }

  private:
    // A target album that a pack album can match: the first of its name in the product, or
    // one added by the merge.
    struct Album {
        ElementHandle handle = 0;    // its record (for an added one, set when it is added)
        ElementHandle source = 0;    // added: the pack album it copies
        ElementHandle lastItem = 0;  // in the product: its last "item" child
        int32_t piece = -1;          // added: its piece
        int32_t gap = -1;
        bool indexed = false;
    };

    struct Addition {
        ElementHandle source;  // the pack element to copy
        int32_t album;         // the album it becomes, or the album it goes into
        bool isAlbum;
    };

    // The walk, with every search answered by the tables and every addition only noted. The
    // pack is walked for real: it is only read.
    bool Plan() {
        CXmlDocument& s = source_;
        CXmlDocument& t = target_;
        if (!s.IsWellFormed() || !t.IsWellFormed() || s.documentFlags != t.documentFlags)
            return false;
        const bool found = s.FindElement(u"mirvo") && t.FindElement(u"mirvo") && s.EnterElement() &&
                           t.EnterElement() && s.FindElement(u"albums") &&
                           t.FindElement(u"albums") && s.EnterElement() && t.EnterElement();
        if (!found) return false;
        albums_ = t.parentHandle;
        const char16_t* st = s.documentText.c_str();
        const char16_t* tt = t.documentText.c_str();
        const uint32_t flags = t.documentFlags;

        for (ElementHandle c = t.RecordAt(albums_).firstChild; c; c = t.RecordAt(c).nextSibling) {
            const ElementRecord& r = t.RecordAt(c);
            if (!IsNamed(tt, flags, r, u"album")) continue;
            if (!targetNames_.Read(tt, r, true)) return false;
            lastAlbum_ = c;
            if (albumTable_.Find(-1, targetNames_.key()) >= 0) continue;
            albumTable_.Insert(-1, targetNames_.key(), static_cast<int32_t>(list_.size()));
            list_.emplace_back();
            list_.back().handle = c;
        }
        const ElementRecord& a = t.RecordAt(albums_);
        if (!lastAlbum_ && IsEmptyTag(a) && !CanOpen(tt, flags, a)) return false;

        int64_t added = 0;
        while (s.FindElement(u"album")) {
            const ElementHandle album = s.mainHandle;
            const ElementRecord& ar = s.RecordAt(album);
            if (!sourceNames_.Read(st, ar, true)) return false;
            int32_t m = albumTable_.Find(-1, sourceNames_.key());
            if (m < 0) {
                m = static_cast<int32_t>(list_.size());
                albumTable_.Insert(-1, sourceNames_.key(), m);
                list_.emplace_back();
                list_.back().source = album;
                plan_.push_back({album, m, true});
                added += ar.length;
                continue;
            }
            s.EnterElement();
            if (!list_[m].indexed && !IndexItems(m)) return false;
            bool first = true;
            while (s.FindElement(u"item")) {
                const ElementHandle item = s.mainHandle;
                const ElementRecord& ir = s.RecordAt(item);
                if (!sourceNames_.Read(st, ir, false)) return false;
                if (itemTable_.Find(m, sourceNames_.key()) >= 0) continue;
                if (first && !CanReceive(m)) return false;
                first = false;
                itemTable_.Insert(m, sourceNames_.key(), 0);
                plan_.push_back({item, m, false});
                added += ir.length;
            }
            s.LeaveElement();
        }
        s.LeaveElement();
        s.LeaveElement();
        // Line breaks and opened tags add a few characters to each addition.
        added += static_cast<int64_t>(plan_.size()) * 8 + 2 * kMaxEndTagLength;
        return added <= INT32_MAX - static_cast<int64_t>(t.documentText.length());
    }

    // The "item" children of an album, first of each name. For an added album they are those
    // of the pack album it copies.
    bool IndexItems(int32_t m) {
        Album& album = list_[m];
        album.indexed = true;
        const bool added = album.source != 0;
        const CXmlDocument& doc = added ? source_ : target_;
        NameReader& names = added ? sourceNames_ : targetNames_;
        const char16_t* text = doc.documentText.c_str();
        const ElementHandle parent = added ? album.source : album.handle;
        for (ElementHandle c = doc.RecordAt(parent).firstChild; c;
             c = doc.RecordAt(c).nextSibling) {
            const ElementRecord& r = doc.RecordAt(c);
            if (!IsNamed(text, doc.documentFlags, r, u"item")) continue;
            if (!names.Read(text, r, false)) return false;
            album.lastItem = c;
            if (itemTable_.Find(m, names.key()) < 0) itemTable_.Insert(m, names.key(), 0);
        }
        if (added) album.lastItem = 0;  // found again among the records of the copy
        return true;
    }

    // Whether an album can take its first addition: without items it may have to be opened.
    bool CanReceive(int32_t m) const {
        const Album& album = list_[m];
        if (album.gap >= 0 || album.lastItem) return true;
        const bool added = album.source != 0;
        const CXmlDocument& doc = added ? source_ : target_;
        const ElementHandle h = added ? album.source : album.handle;
        const ElementRecord& r = doc.RecordAt(h);
        if (added) {
            for (ElementHandle c = r.firstChild; c; c = doc.RecordAt(c).nextSibling) {
                if (IsNamed(doc.documentText.c_str(), doc.documentFlags, doc.RecordAt(c), u"item"))
                    return true;
            }
        }
        return !IsEmptyTag(r) || CanOpen(doc.documentText.c_str(), doc.documentFlags, r);
    }

    // Every record the copies will take, taken up front so that no step of the application
    // can run out halfway.
    bool Reserve() {
        int64_t needed = target_.nextRecord;
        for (const Addition& a : plan_) needed += 1 + SubtreeSize(source_, a.source);
        return ReserveRecords(target_, needed);
    }

    void Apply() {
        CXmlDocument& t = target_;
        const ElementHandle oldNext = static_cast<ElementHandle>(t.nextRecord);
        const char16_t* st = source_.documentText.c_str();
        const char16_t* tt = t.documentText.c_str();
        const uint32_t flags = t.documentFlags;
        int32_t albumsGap = -1;

        for (const Addition& add : plan_) {
            Album& album = list_[add.album];
            ElementHandle parent;
            int32_t g;
            if (add.isAlbum) {
                parent = albums_;
                if (albumsGap < 0) {
                    albumsGap = splicer_.AddGap(-1);
                    OpenGap(splicer_.gaps[albumsGap], t, tt, albums_, lastAlbum_);
                    splicer_.gaps[albumsGap].last = lastAlbum_;
                }
                g = albumsGap;
            } else {
                parent = album.handle;
                if (album.gap < 0) {
                    const char16_t* text = tt;
                    ElementHandle after = album.lastItem;
                    if (album.piece >= 0) {
                        text = splicer_.pieces[album.piece].text;
                        for (ElementHandle c = t.RecordAt(parent).firstChild; c;
                             c = t.RecordAt(c).nextSibling) {
                            if (IsNamed(text, flags, t.RecordAt(c), u"item")) after = c;
                        }
                    }
                    album.gap = splicer_.AddGap(album.piece);
                    OpenGap(splicer_.gaps[album.gap], t, text, parent, after);
                    splicer_.gaps[album.gap].last = after;
                }
                g = album.gap;
            }

            // AppendSubtree: the copy is parsed below a temporary root, linked and the root
            // released; its records keep offsets into the copy until the text is built.
            const ElementRecord& sr = source_.RecordAt(add.source);
            scratch_.assign(st + sr.start, static_cast<size_t>(sr.length));
            const ElementHandle root = t.TakeRecord();
            t.RecordAt(root) = ElementRecord{};
            t.RecordAt(root).SetLevel(t.RecordAt(parent).Level() + 1);
            TokenCursor cursor(scratch_.c_str(), flags);
            const ElementHandle first = t.ParseElements(root, cursor);
            assert(first && !(t.RecordAt(root).flags & ElemIllFormed) &&
                   !t.RecordAt(first).nextSibling);

            Gap& gap = splicer_.gaps[g];
            ElementHandle after = gap.last;
            if (!after) {
                const ElementHandle f = t.RecordAt(parent).firstChild;
                after = f ? t.RecordAt(f).prevSibling : 0;
            }
            t.LinkElement(parent, after, first);
            t.ReleaseRecord(root);
            gap.last = first;

            Piece piece;
            piece.text = st + sr.start;
            piece.length = sr.length;
            piece.first = first;
            piece.end = static_cast<ElementHandle>(t.nextRecord);
            splicer_.pieces.push_back(piece);
            const int32_t p = static_cast<int32_t>(splicer_.pieces.size()) - 1;
            splicer_.AddPiece(g, p);
            if (add.isAlbum) {
                album.handle = first;
                album.piece = p;
            }
        }
        if (!plan_.empty()) splicer_.Apply(t, oldNext);

        // The walk ends with two steps up from inside "albums".
        t.parentHandle = albums_;
        t.mainHandle = albums_;
        t.nodeType = NodeElement;
        t.LeaveElement();
        t.LeaveElement();
    }

    CXmlDocument& source_;
    CXmlDocument& target_;
    NameReader sourceNames_, targetNames_;
    NameTable albumTable_, itemTable_;
    std::vector<Album> list_;
    std::vector<Addition> plan_;
    ElementHandle albums_ = 0;
    ElementHandle lastAlbum_ = 0;  // the product's last "album" element
    Splicer splicer_;
    CString scratch_;
};

// ---- the counts ---------------------------------------------------------------------------

constexpr char16_t kCountName[] = u"ElemCount";

bool CountFast(CXmlDocument& doc) {
    if (!doc.IsWellFormed()) return false;
    const Position entry = SavePosition(doc);
    const char16_t* text = doc.documentText.c_str();
    const uint32_t flags = doc.documentFlags;

    // The walk's moves are reads of the index; only the edits are put off.
    struct Count {
        ElementHandle album;
        uint32_t count;
        ElementHandle element;  // its first "ElemCount", 0 when none
    };
    std::vector<Count> counts;
    doc.FindElement(u"mirvo");
    doc.EnterElement();
    doc.FindElement(u"albums");
    doc.EnterElement();
    while (doc.FindElement(u"album")) {
        const ElementHandle album = doc.mainHandle;
        doc.EnterElement();
        uint32_t count = 0;
        while (doc.FindElement(u"item")) ++count;
        doc.ResetPosition();
        const ElementHandle element = doc.FindElement(kCountName) ? doc.mainHandle : 0;
        const ElementRecord& r = doc.RecordAt(element ? element : album);
        if ((r.flags & ElemUnended) && IsEmptyTag(r)) {
            RestorePosition(doc, entry);
            return false;
        }
        counts.push_back({album, count, element});
        // The walk's edit would leave another child position here; the next find clears it,
        // and the two steps up at the end replace it.
        doc.LeaveElement();
    }
    doc.LeaveElement();
    doc.LeaveElement();
    const Position done = SavePosition(doc);

    const ElementHandle oldNext = static_cast<ElementHandle>(doc.nextRecord);
    Splicer splicer;
    for (const Count& c : counts) {
        const CString digits = DecimalText(static_cast<int32_t>(c.count));
        if (c.element) {
            // SetContent: refused for content with elements; an empty-element tag is opened.
            ElementRecord& r = doc.RecordAt(c.element);
            if (r.firstChild) continue;
            if (IsEmptyTag(r) && !CanOpen(text, flags, r)) continue;
            Gap& g = splicer.gaps[splicer.AddGap(-1)];
            if (IsEmptyTag(r)) {
                const CString name = ElementName(text, flags, r);
                g.at = r.start + r.length - 2;
                g.removed = 1;
                g.prefix = u">" + digits + u"</" + name;
                r.SetStartTagLength(r.StartTagLength() - 1);
                r.SetEndTagLength(static_cast<int32_t>(name.size()) + 3);
            } else {
                g.at = r.start + r.StartTagLength();
                g.removed = r.length - r.StartTagLength() - r.EndTagLength();
                g.prefix = digits;
            }
            r.flags &= ~ElemHasError;
            continue;
        }
        // AppendElement with no main position: the album's last child.
        {
            const ElementRecord& ar = doc.RecordAt(c.album);
            if (ar.Level() >= kMaxLevel) continue;
            if (IsEmptyTag(ar) && !CanOpen(text, flags, ar)) continue;
        }
        const ElementHandle n = doc.TakeRecord();  // may move the records of the last segment
        if (!n) continue;
        Piece piece;
        piece.arenaOffset = static_cast<int32_t>(splicer.arena.size());
        splicer.arena += u"<ElemCount>";
        splicer.arena += digits;
        splicer.arena += u"</ElemCount>";
        piece.length = static_cast<int32_t>(splicer.arena.size()) - piece.arenaOffset;
        piece.first = n;
        piece.end = n + 1;
        ElementRecord& nr = doc.RecordAt(n);
        nr.start = 0;
        nr.length = piece.length;
        nr.tagLengths = 0;
        nr.SetStartTagLength(11);
        nr.SetEndTagLength(12);
        nr.firstChild = 0;
        nr.flags = 0;
        const ElementHandle f = doc.RecordAt(c.album).firstChild;
        doc.LinkElement(c.album, f ? doc.RecordAt(f).prevSibling : 0, n);
        const int32_t g = splicer.AddGap(-1);
        OpenGap(splicer.gaps[g], doc, text, c.album, 0);
        splicer.pieces.push_back(piece);
        splicer.AddPiece(g, static_cast<int32_t>(splicer.pieces.size()) - 1);
    }
    if (!splicer.gaps.empty() && !splicer.Apply(doc, oldNext)) {
        // Only memory can fail here; the walk would then have refused its edits as well.
    }
    RestorePosition(doc, done);
    return true;
}

}  // namespace

bool TryMergeCatalogFast(CXmlDocument& source, CXmlDocument& target) {
    try {
        FastMerge merge(source, target);
        return merge.Run();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool TryUpdateItemCountsFast(CXmlDocument& target) {
    try {
        return CountFast(target);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void MergeCatalog(CXmlDocument& source, CXmlDocument& target) {
    if (!TryMergeCatalogFast(source, target)) MergeCatalogPlain(source, target);
}

void UpdateItemCounts(CXmlDocument& target) {
    if (!TryUpdateItemCountsFast(target)) UpdateItemCountsPlain(target);
}
