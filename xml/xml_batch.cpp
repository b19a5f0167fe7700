// The edit batch: many edits, one new text, one move of every record.
//
// While the edits come in, nothing of the text moves. Each edit is placed by PlaceText, as
// the single edit is, but its text goes into a "gap": a place of a text that was there
// before (the document, or the text of an earlier edit of the batch) holding, in order, the
// texts inserted there, and possibly the characters it removes and the tag parts of an
// element it opened up. New records keep offsets into the text of the edit that brought
// them. Apply lays every text out once, in the new document text, and moves each record by
// what the gaps before it gained.
//
// A removal is a gap that removes the element's characters, and one that removes the line
// break after it wherever that lies; the gaps of what the batch put inside the element are
// emptied with it.
//
// Records in use that the edits re-link, re-tag or release are saved before their first
// change, so that a batch that runs out of memory, or is dropped, puts them back.
#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/key_table.h"
#include "xml/internal/XmlInternals.h"

namespace {

inline bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

constexpr int32_t kNone = -1;

// The edits' texts, in blocks that never move: a text is written once, where it stays, and a
// large merge's texts are not copied again at each growth.
class TextArena {
  public:
    // Room for `count` characters.
    char16_t* Take(size_t count) {
        taken_ += count;
        if (count > room_) {
            // Blocks grow with what the batch holds, up to 2 MB: a small batch stays small.
            const size_t size = std::min(kLargest, std::max(kSmallest, taken_));
            // A long text gets a block of its own; the current one keeps its room.
            if (count > size / 8) return Block(count);
            next_ = Block(size);
            room_ = size;
        }
        char16_t* const at = next_;
        next_ += count;
        room_ -= count;
        return at;
    }

  private:
    static constexpr size_t kSmallest = 4096;
    static constexpr size_t kLargest = size_t{1} << 20;
    struct Free {
        void operator()(char16_t* block) const { ElementIndex::release(block); }
    };
    char16_t* Block(size_t count) {
        std::unique_ptr<char16_t, Free> block(
            static_cast<char16_t*>(ElementIndex::allocate(count * sizeof(char16_t))));
        if (!block) throw std::bad_alloc();
        blocks_.push_back(std::move(block));
        return blocks_.back().get();
    }
    std::vector<std::unique_ptr<char16_t, Free>> blocks_;
    char16_t* next_ = nullptr;
    size_t room_ = 0;
    size_t taken_ = 0;
};

// std::upper_bound (`upper`) or std::lower_bound of `v` in the sorted [lo, hi), searched from
// `hint` outward in growing steps: a few steps when the answer lies near the hint.
const int32_t* SearchFrom(const int32_t* lo, const int32_t* hi, const int32_t* hint, int32_t v,
                          bool upper) {
    const auto before = [&](int32_t x) { return upper ? x <= v : x < v; };
    if (hint > lo && !before(hint[-1])) {
        return upper ? std::upper_bound(lo, hint, v) : std::lower_bound(lo, hint, v);
    }
    lo = hint;
    const int32_t* p = hint;
    for (ptrdiff_t step = 1; p < hi && before(*p); step *= 2) {
        lo = p + 1;
        p = hi - p > step ? p + step : hi;
    }
    return upper ? std::upper_bound(lo, p, v) : std::lower_bound(lo, p, v);
}

}  // namespace

struct CXmlEditBatch::Impl {
    explicit Impl(CXmlDocument& d)
        : doc(d), savedNext(d.nextRecord), savedReleased(d.releasedHead) {
        texts.push_back({nullptr, d.documentText.length(), kNone, kNone});
    }

    // A text of the new document: 0 is the document's own, the others are in `arena` or, for
    // a subtree taken from another document, in that document's text.
    struct Text {
        const char16_t* chars;
        int32_t length;
        int32_t owner;  // the gap that holds it, kNone for the document and for tag parts
        int32_t next;   // the next text of that gap
    };
    // A place in text `text` before character `at`: what was inserted there, in order, and
    // the `removed` characters from `at` that give way to it. An element opened up there
    // has its ">" in `prefix` and its "</name" in `suffix`, around the inserted texts.
    struct Gap {
        int32_t text;
        int32_t at;
        int32_t removed = 0;
        int32_t first = kNone, last = kNone;
        int32_t prefix = kNone, suffix = kNone;
    };
    // Where an edit's text goes: before character `pos` of `text`, at the front or the back
    // of what is inserted there already.
    struct Point {
        int32_t text;
        int32_t pos;
        bool back;
    };
    // An element whose content the batch changed directly.
    struct Touched {
        int32_t content = 0;  // its content length now
        int32_t originalContent = 0;
        int32_t openGap = kNone;    // the gap where it was opened up, if it was
        int32_t closedGap = kNone;  // the gap where a removal closed it into "<name/>"
        int32_t firstUse = kNone;   // the gaps its edits used: a chain through `uses`
        int32_t lastUse = kNone;
    };
    struct Use {
        int32_t gap;
        int32_t next;
    };

    CXmlDocument& doc;
    const int32_t savedNext;
    const ElementHandle savedReleased;
    CString savedResult;
    ParseResult savedParse;
    bool resultSaved = false;
    bool failed = false;
    bool applied = false;
    // The positions as they were before a removal first moved them.
    bool positionsSaved = false;
    ElementHandle savedHandles[3] = {};
    int32_t savedNode[3] = {};
    std::vector<std::pair<ElementHandle, ElementRecord>> saved;
    std::vector<Text> texts;
    TextArena arena;
    std::vector<Gap> gaps;
    platform::KeyTable gapAt;
    // Stays put as it grows: an edit holds its parent's while it adds texts and gaps.
    std::deque<Touched> touched;
    platform::KeyTable touchedAt;
    std::vector<Use> uses;
    std::vector<int32_t> home;  // the text of each record from savedNext on
    int64_t growth = 0;         // at most this many characters are added

    const char16_t* Chars(int32_t t) const {
        return t == 0 ? doc.documentText.c_str() : texts[t].chars;
    }
    int32_t HomeOf(ElementHandle h) const {
        return h < static_cast<ElementHandle>(savedNext) ? 0 : home[h - savedNext];
    }

    void Save(ElementHandle h) {
        if (h >= static_cast<ElementHandle>(savedNext)) return;
        // Edits into one parent save it and its first child each time: keep the first copy
        // only, which is the one a rollback ends with.
        const size_t n = saved.size();
        for (size_t i = n > 4 ? n - 4 : 0; i < n; ++i)
            if (saved[i].first == h) return;
        saved.emplace_back(h, doc.RecordAt(h));
    }
    void SaveResult() {
        if (resultSaved) return;
        savedResult = doc.resultText;
        savedParse = doc.parseResult;
        resultSaved = true;
    }

    void Rollback() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            doc.RecordAt(it->first) = it->second;
        doc.nextRecord = savedNext;
        doc.releasedHead = savedReleased;
        if (resultSaved) {
            doc.resultText.swap(savedResult);
            doc.parseResult = savedParse;
        }
        if (positionsSaved) {
            doc.parentHandle = savedHandles[0];
            doc.mainHandle = savedHandles[1];
            doc.childHandle = savedHandles[2];
            doc.nodeType = savedNode[0];
            doc.nodeOffset = savedNode[1];
            doc.nodeLength = savedNode[2];
        }
        failed = true;
        saved.clear();
        gaps.clear();
        gapAt.clear();
        touched.clear();
        touchedAt.clear();
        uses.clear();
    }

    int32_t AddText(std::u16string_view a, std::u16string_view b = {}, std::u16string_view c = {}) {
        const size_t length = a.size() + b.size() + c.size();
        if (length > static_cast<size_t>(INT32_MAX)) throw std::bad_alloc();
        char16_t* const at = arena.Take(length + 1);
        a.copy(at, a.size());
        b.copy(at + a.size(), b.size());
        c.copy(at + a.size() + b.size(), c.size());
        at[length] = u'\0';  // start tags are read in place
        texts.push_back({at, static_cast<int32_t>(length), kNone, kNone});
        growth += static_cast<int64_t>(length);
        return static_cast<int32_t>(texts.size()) - 1;
    }

    static uint64_t Key(int32_t text, int32_t pos) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(text)) << 32) |
               static_cast<uint32_t>(pos);
    }
    int32_t FindGap(int32_t text, int32_t pos) const { return gapAt.Find(Key(text, pos)); }
    int32_t GapFor(int32_t text, int32_t pos) {
        const int32_t g = FindGap(text, pos);
        if (g != kNone) return g;
        gaps.push_back({text, pos});
        const int32_t added = static_cast<int32_t>(gaps.size()) - 1;
        gapAt.Insert(Key(text, pos), added);
        return added;
    }

    // Texts that go in together: `count` of them from `first`, one after another.
    struct Run {
        int32_t first;
        int32_t count;
        int32_t length;
    };
    Run Single(int32_t t) const { return {t, 1, texts[t].length}; }

    // An edit's item between line breaks; the text that holds the item is returned, with
    // `itemOffset` where the item starts in it. An item borrowed from a text that goes on to
    // `end` is not copied: its own characters are a text, between texts of the breaks, and
    // the break after it is the text's own when the text has one there.
    int32_t AddItem(std::u16string_view before, std::u16string_view item, std::u16string_view after,
                    const char16_t* end, Run& run, int32_t& itemOffset) {
        if (!end) {
            itemOffset = static_cast<int32_t>(before.size());
            run = Single(AddText(before, item, after));
            return run.first;
        }
        const char16_t* const next = item.data() + item.size();
        if (static_cast<size_t>(end - next) >= after.size() &&
            after.compare(0, after.size(), next, after.size()) == 0) {
            item = {item.data(), item.size() + after.size()};
            after = {};
        }
        itemOffset = 0;
        run = {static_cast<int32_t>(texts.size()), 0, 0};
        if (!before.empty()) AddText(before);
        const int32_t held = Borrow(item);
        if (!after.empty()) AddText(after);
        run.count = static_cast<int32_t>(texts.size()) - run.first;
        for (int32_t t = run.first; t < run.first + run.count; ++t) run.length += texts[t].length;
        return held;
    }
    int32_t Borrow(std::u16string_view item) {
        texts.push_back({item.data(), static_cast<int32_t>(item.size()), kNone, kNone});
        growth += static_cast<int64_t>(item.size());
        return static_cast<int32_t>(texts.size()) - 1;
    }

    void Put(const Point& point, const Run& run) {
        Gap& g = gaps[GapFor(point.text, point.pos)];
        const int32_t last = run.first + run.count - 1;
        for (int32_t t = run.first; t <= last; ++t) {
            texts[t].owner = static_cast<int32_t>(&g - gaps.data());
            if (t < last) texts[t].next = t + 1;
        }
        if (g.first == kNone) {
            g.first = run.first;
            g.last = last;
        } else if (point.back) {
            texts[g.last].next = run.first;
            g.last = last;
        } else {
            texts[last].next = g.first;
            g.first = run.first;
        }
    }

    Touched& Touch(ElementHandle h) {
        if (const int32_t i = touchedAt.Find(h); i != kNone) return touched[static_cast<size_t>(i)];
        const ElementRecord& r = doc.RecordAt(h);
        Touched& t = touched.emplace_back();
        t.originalContent = r.length - r.StartTagLength() - r.EndTagLength();
        t.content = t.originalContent;
        touchedAt.Insert(h, static_cast<int32_t>(touched.size()) - 1);
        return t;
    }
    const Touched* Find(ElementHandle h) const {
        const int32_t i = touchedAt.Find(h);
        return i == kNone ? nullptr : &touched[static_cast<size_t>(i)];
    }
    void Used(Touched& t, int32_t gap) {
        const auto u = static_cast<int32_t>(uses.size());
        uses.push_back({gap, kNone});
        (t.lastUse == kNone ? t.firstUse : uses[static_cast<size_t>(t.lastUse)].next) = u;
        t.lastUse = u;
    }
    template <typename F>
    void EachUse(const Touched& t, F&& f) {
        for (int32_t u = t.firstUse; u != kNone; u = uses[static_cast<size_t>(u)].next)
            f(uses[static_cast<size_t>(u)].gap);
    }

    Point ContentStart(ElementHandle parent) const {
        if (!parent) return {0, 0, false};
        if (const Touched* t = Find(parent); t && t->openGap != kNone)
            return {gaps[t->openGap].text, gaps[t->openGap].at, false};
        const ElementRecord& p = doc.RecordAt(parent);
        return {HomeOf(parent), p.start + p.StartTagLength(), false};
    }
    Point ContentEnd(ElementHandle parent) const {
        if (!parent) return {0, texts[0].length, true};
        if (const Touched* t = Find(parent); t && t->openGap != kNone)
            return {gaps[t->openGap].text, gaps[t->openGap].at, true};
        const ElementRecord& p = doc.RecordAt(parent);
        return {HomeOf(parent), p.start + p.length - p.EndTagLength(), true};
    }

    // InsertText's whitespace step over the text as the earlier edits left it: from `from`,
    // over whitespace; the place where it ends when that is markup or the end of the text.
    Point SkipToMarkup(const Point& from) const {
        int32_t text = from.text;
        int32_t pos = from.pos;
        // What comes next at (text, pos): 0 the gap's prefix, 1 its texts from `item`, 2 the
        // character.
        int stage = 2;
        int32_t item = kNone;
        if (const int32_t g = FindGap(text, pos); g != kNone) {
            stage = 1;
            item = from.back ? kNone : gaps[g].first;
        }
        for (;;) {
            if (stage == 0) return from;  // the ">" of an opened element
            if (stage == 1) {
                if (item != kNone) {
                    text = item;
                    pos = 0;
                    const int32_t inner = FindGap(text, pos);
                    stage = inner == kNone ? 2 : gaps[inner].prefix != kNone ? 0 : 1;
                    item = inner == kNone ? kNone : gaps[inner].first;
                    continue;
                }
                const Gap& g = gaps[FindGap(text, pos)];
                if (g.suffix != kNone) return {text, pos, true};  // "</name"
                if (g.removed) {
                    pos += g.removed;
                    const int32_t next = FindGap(text, pos);
                    stage = next == kNone ? 2 : gaps[next].prefix != kNone ? 0 : 1;
                    item = next == kNone ? kNone : gaps[next].first;
                    continue;
                }
                stage = 2;
            }
            if (pos >= texts[text].length) {
                if (text == 0) return {0, pos, true};
                // On in the gap that holds this text.
                const Gap& owner = gaps[texts[text].owner];
                item = texts[text].next;
                text = owner.text;
                pos = owner.at;
                stage = 1;
                continue;
            }
            const char16_t c = Chars(text)[pos];
            if (c == u'<') return {text, pos, true};
            if (!IsSpace(c)) return from;
            ++pos;
            const int32_t next = FindGap(text, pos);
            stage = next == kNone ? 2 : gaps[next].prefix != kNone ? 0 : 1;
            item = next == kNone ? kNone : gaps[next].first;
        }
    }

    // InsertText: places `item` and returns its text, with `itemOffset` where the item
    // starts in it; kNone when the single edit would refuse. `reference` becomes the sibling
    // to link after.
    int32_t Insert(ElementHandle parent, ElementHandle& reference, uint32_t flags,
                   std::u16string_view item, int32_t& itemOffset,
                   const char16_t* borrowedEnd = nullptr) {
        bool emptyTag = false;
        bool noContent = false;
        bool unended = false;
        if (parent) {
            const ElementRecord& p = doc.RecordAt(parent);
            const Touched* t = Find(parent);
            const bool opened = t && t->openGap != kNone;
            unended = (p.flags & ElemUnended) != 0;
            emptyTag = !opened && (p.StartTagLength() == p.length || (t && t->closedGap != kNone));
            noContent = (t ? t->content : p.length - p.StartTagLength() - p.EndTagLength()) == 0;
        }
        const TextPlacement place = doc.PlaceText(parent, reference, flags, emptyTag, noContent);
        const bool lineBreaks = place.lineBreaks;
        const std::u16string_view breaks = lineBreaks ? u"\r\n" : u"";
        if (static_cast<int64_t>(texts[0].length) + growth + static_cast<int64_t>(item.size()) + 4 +
                kMaxEndTagLength >
            INT32_MAX)
            return kNone;

        Point point{0, 0, false};
        switch (place.anchor) {
            case TextPlacement::AfterReference: {
                const ElementRecord& r = doc.RecordAt(reference);
                point = {HomeOf(reference), r.start + r.length, false};
                break;
            }
            case TextPlacement::BeforeReference:
                point = {HomeOf(reference), doc.RecordAt(reference).start, true};
                break;
            case TextPlacement::ContentStart:
                point = ContentStart(parent);
                break;
            case TextPlacement::ContentEnd:
                point = ContentEnd(parent);
                break;
            case TextPlacement::InEmptyTag:
                break;
        }
        if (place.skipWhitespace) point = SkipToMarkup(point);

        int32_t added;
        Run run{kNone, 0, 0};
        itemOffset = 0;
        switch (place.splice) {
            case TextPlacement::OpenEmptyTag: {
                const ElementRecord& p = doc.RecordAt(parent);
                const int32_t home = HomeOf(parent);
                TokenCursor cursor(Chars(home), doc.documentFlags);
                cursor.next = p.start + 1;
                if (!CXmlDocument::NextToken(cursor)) return kNone;
                const int32_t nameLength = cursor.nameEnd - cursor.nameStart + 1;
                if (nameLength <= 0 || nameLength + 3 > kMaxEndTagLength) return kNone;
                const std::u16string_view name(Chars(home) + cursor.nameStart,
                                               static_cast<size_t>(nameLength));
                Touched& t = Touch(parent);
                const int32_t prefix = AddText(u">");
                const int32_t suffix = AddText(u"</", name);
                added = AddItem(breaks, item, breaks, borrowedEnd, run, itemOffset);
                // An element a removal closed opens where it closed, over what that took out.
                int32_t g = t.closedGap;
                if (g != kNone) {
                    gaps[g].first = gaps[g].last = kNone;
                    t.closedGap = kNone;
                } else {
                    g = GapFor(home, p.start + p.length - (unended ? 1 : 2));
                    gaps[g].removed = unended ? 0 : 1;
                }
                gaps[g].prefix = prefix;
                gaps[g].suffix = suffix;
                Put({home, gaps[g].at, true}, run);
                t.openGap = g;
                Used(t, g);
                t.content = run.length;
                Save(parent);
                ElementRecord& opened = doc.RecordAt(parent);
                if (unended) {
                    opened.flags &= ~ElemUnended;
                } else {
                    opened.SetStartTagLength(opened.StartTagLength() - 1);
                }
                opened.SetEndTagLength(nameLength + 3);
                break;
            }
            case TextPlacement::ReplaceContent: {
                Touched& t = Touch(parent);
                added = AddText(item);
                EachUse(t, [&](int32_t g) {
                    gaps[g].first = gaps[g].last = kNone;
                    if (g != t.openGap) gaps[g].removed = 0;  // what removals took is in it
                });
                if (t.openGap != kNone) {
                    point = {gaps[t.openGap].text, gaps[t.openGap].at, true};
                } else {
                    point = ContentStart(parent);
                    const int32_t g = GapFor(point.text, point.pos);
                    gaps[g].removed = t.originalContent;
                    Used(t, g);
                }
                Put(point, Single(added));
                t.content = texts[added].length;
                break;
            }
            case TextPlacement::IntoEmptyContent:
                added = AddItem(breaks, item, breaks, borrowedEnd, run, itemOffset);
                point = ContentStart(parent);
                break;
            default:
                added = AddItem({}, item, breaks, borrowedEnd, run, itemOffset);
                break;
        }
        if (place.splice == TextPlacement::IntoEmptyContent ||
            place.splice == TextPlacement::AtAnchor) {
            Put(point, run);
            if (parent) {
                Touched& t = Touch(parent);
                t.content += run.length;
                Used(t, texts[added].owner);
            }
        }
        reference = place.linkAfter;
        return added;
    }

    void Link(ElementHandle parent, ElementHandle after, ElementHandle handle) {
        Save(parent);
        const ElementHandle first = doc.RecordAt(parent).firstChild;
        Save(first);
        if (after) {
            Save(after);
            Save(doc.RecordAt(after).nextSibling);
        }
        doc.LinkElement(parent, after, handle);
    }

    // The records taken since the last call live in text `text`, moved by `shift`.
    void Adopt(ElementHandle from, int32_t text, int32_t shift) {
        const auto end = static_cast<ElementHandle>(doc.nextRecord);
        home.resize(static_cast<size_t>(doc.nextRecord - savedNext), text);
        for (ElementHandle h = from; h < end; ++h) {
            home[h - savedNext] = text;
            doc.RecordAt(h).start += shift;
        }
    }

    // Whether SetContent(h, content) would give back the text and the record as they are: an
    // element of the document's own text, ended by an end tag, that no edit has touched and
    // that holds exactly `content`.
    bool HoldsContent(ElementHandle h, std::u16string_view content) const {
        if (h >= static_cast<ElementHandle>(savedNext) || Find(h)) return false;
        const ElementRecord& r = doc.RecordAt(h);
        if (r.flags & (ElemUnended | ElemHasError) || r.EndTagLength() == 0) return false;
        const int32_t from = r.start + r.StartTagLength();
        const int32_t length = r.length - r.StartTagLength() - r.EndTagLength();
        return static_cast<size_t>(length) == content.size() &&
               content.compare(0, content.size(), Chars(0) + from, content.size()) == 0;
    }

    bool Live(ElementHandle h) const {
        return h < static_cast<ElementHandle>(doc.nextRecord) &&
               doc.RecordAt(h).flags != ElemReleased;
    }
    bool Placeable(ElementHandle parent, ElementHandle after) const {
        if (!Live(parent)) return false;
        return after == 0 ||
               (after != parent && Live(after) && doc.RecordAt(after).parent == parent);
    }

    // The first character at or after `pos` of text `text` as the edits so far leave the
    // text, what a gap there inserts coming first; text kNone at the end of the document.
    Point Following(int32_t text, int32_t pos) const {
        int stage;  // 0 a gap's prefix, 1 its texts from `item`, 2 the character
        int32_t item;
        const auto arrive = [&] {
            const int32_t g = FindGap(text, pos);
            stage = g == kNone ? 2 : gaps[g].prefix != kNone ? 0 : 1;
            item = g == kNone ? kNone : gaps[g].first;
        };
        arrive();
        for (;;) {
            if (stage == 0) return {gaps[FindGap(text, pos)].prefix, 0, false};
            if (stage == 1) {
                if (item != kNone) {
                    text = item;
                    pos = 0;
                    arrive();
                    continue;
                }
                const Gap& g = gaps[FindGap(text, pos)];
                if (g.suffix != kNone) return {g.suffix, 0, false};
                if (g.removed) {
                    pos += g.removed;
                    arrive();
                    continue;
                }
                stage = 2;
            }
            if (pos < texts[text].length) return {text, pos, false};
            if (text == 0) return {kNone, 0, false};
            const Gap& owner = gaps[texts[text].owner];
            item = texts[text].next;
            text = owner.text;
            pos = owner.at;
            stage = 1;
        }
    }
    // Whether "\r\n" comes at `at`; `next` then comes after it, and `split` says whether its
    // two characters lie apart.
    bool LineBreakAt(const Point& at, Point& next, bool& split) const {
        if (at.text == kNone || Chars(at.text)[at.pos] != u'\r') return false;
        const Point n = Following(at.text, at.pos + 1);
        if (n.text == kNone || Chars(n.text)[n.pos] != u'\n') return false;
        split = n.text != at.text || n.pos != at.pos + 1;
        next = Following(n.text, n.pos + 1);
        return true;
    }
    static bool Same(const Point& a, int32_t text, int32_t pos) {
        return a.text == text && a.pos == pos;
    }
    void Clear(int32_t g) {
        gaps[g].first = gaps[g].last = gaps[g].prefix = gaps[g].suffix = kNone;
        gaps[g].removed = 0;
    }

    // RemoveElement on an element of the document's own text, decided on the text as the
    // edits so far leave it. False, with nothing changed, for a line break it cannot take.
    bool Remove(ElementHandle element, uint32_t flags) {
        const ElementRecord& x = doc.RecordAt(element);
        const ElementHandle parent = x.parent;
        const ElementRecord& p = doc.RecordAt(parent);
        const int32_t start = x.start;
        const int32_t length = x.length;
        const Point after = Following(0, start + length);
        Point next{};
        bool split = false;
        const bool lineBreak = LineBreakAt(after, next, split);
        const int32_t contentStart = p.start + p.StartTagLength();
        const int32_t contentEnd = p.start + p.length - p.EndTagLength();
        bool restore = (flags & (EditRestoreEmptyTag | EditRestoreNoContent)) && lineBreak &&
                       p.firstChild == element && !x.nextSibling && Same(next, 0, contentEnd);
        if (restore) {
            Point first{};
            bool ignored = false;
            restore =
                LineBreakAt(Following(0, contentStart), first, ignored) && Same(first, 0, start);
        }
        bool closing = restore && (flags & EditRestoreEmptyTag);
        if (closing) restore = closing = doc.ClosesAsEmptyTag(parent);
        if (lineBreak && split && !restore) return false;
        const int32_t at = restore ? (closing ? contentStart - 1 : contentStart) : start;
        const int32_t existing = FindGap(0, at);
        if (existing != kNone && (gaps[existing].removed || gaps[existing].prefix != kNone))
            return false;

        // From here on only memory can fail, and the batch then goes back whole.
        if (!positionsSaved) {
            savedHandles[0] = doc.parentHandle;
            savedHandles[1] = doc.mainHandle;
            savedHandles[2] = doc.childHandle;
            savedNode[0] = doc.nodeType;
            savedNode[1] = doc.nodeOffset;
            savedNode[2] = doc.nodeLength;
            positionsSaved = true;
        }
        // What the batch put inside the subtree goes with it.
        for (ElementHandle h = element;;) {
            Save(h);
            if (const Touched* t = Find(h)) EachUse(*t, [&](int32_t g) { Clear(g); });
            const ElementRecord& r = doc.RecordAt(h);
            if (r.firstChild) {
                h = r.firstChild;
                continue;
            }
            while (h != element && !doc.RecordAt(h).nextSibling) h = doc.RecordAt(h).parent;
            if (h == element) break;
            h = doc.RecordAt(h).nextSibling;
        }
        Save(parent);
        Save(p.firstChild);
        Save(x.nextSibling);
        if (!(x.flags & ElemFirstChild)) Save(x.prevSibling);

        Touched& t = Touch(parent);
        if (restore) {
            EachUse(t, [&](int32_t g) { Clear(g); });
            const int32_t g = GapFor(0, at);
            Clear(g);
            gaps[g].removed = contentEnd - at + (closing ? p.EndTagLength() - 1 : 0);
            Used(t, g);
            t.content = 0;
            if (closing) {
                Put({0, at, true}, Single(AddText(u"/")));
                t.closedGap = g;
                ElementRecord& closed = doc.RecordAt(parent);
                closed.SetStartTagLength(closed.StartTagLength() + 1);
                closed.SetEndTagLength(0);
            }
        } else {
            const int32_t g = GapFor(0, at);
            gaps[g].removed = length;
            Used(t, g);
            t.content -= length;
            if (lineBreak) {
                const int32_t b = GapFor(after.text, after.pos);
                gaps[b].removed = 2;
                Used(t, b);
                t.content -= 2;
            }
        }
        doc.MovePositionsOff(element);
        doc.UnlinkElement(element);
        doc.ReleaseSubtree(element);
        return true;
    }

    bool Apply();
};

bool CXmlEditBatch::Impl::Apply() {
    if (gaps.empty()) {  // nothing was placed or taken out
        applied = true;
        saved.clear();
        return true;
    }
    const size_t textCount = texts.size();
    texts[0].length = doc.documentText.length();
    try {
        // Gaps of each text in text order.
        std::vector<int32_t> order(gaps.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
        const auto inTextOrder = [&](int32_t a, int32_t b) {
            return gaps[a].text != gaps[b].text ? gaps[a].text < gaps[b].text
                                                : gaps[a].at < gaps[b].at;
        };
        // A walk over the document (the counts) makes its gaps in order already.
        if (!std::is_sorted(order.begin(), order.end(), inTextOrder))
            std::sort(order.begin(), order.end(), inTextOrder);
        std::vector<int32_t> firstGap(textCount + 1, 0);
        for (const Gap& g : gaps) ++firstGap[static_cast<size_t>(g.text) + 1];
        for (size_t t = 0; t < textCount; ++t) firstGap[t + 1] += firstGap[t];

        // A text's length once its gaps are filled; the texts of a gap came after its own.
        std::vector<int64_t> full(textCount);
        std::vector<int64_t> gained(gaps.size());
        for (size_t t = textCount; t-- > 0;) {
            int64_t n = texts[t].length;
            for (int32_t k = firstGap[t]; k < firstGap[t + 1]; ++k) {
                const Gap& g = gaps[order[k]];
                int64_t d = -static_cast<int64_t>(g.removed);
                if (g.prefix != kNone) d += texts[g.prefix].length + texts[g.suffix].length;
                for (int32_t i = g.first; i != kNone; i = texts[i].next) d += full[i];
                gained[order[k]] = d;
                n += d;
            }
            full[t] = n;
        }
        if (full[0] > INT32_MAX) throw std::bad_alloc();
        // What the gaps of a text before each of them gained, by text order.
        std::vector<int64_t> before(gaps.size() + 1, 0);
        std::vector<int32_t> at(gaps.size());
        for (size_t k = 0; k < order.size(); ++k) {
            before[k + 1] = before[k] + gained[order[k]];
            at[k] = gaps[order[k]].at;
        }
        std::vector<int64_t> outStart(textCount, -1);
        // The document's own text is laid out in its own buffer when it has the room: its
        // stretches between gaps move, the gaps' texts fill the holes. Otherwise it is laid
        // out in a new buffer, once, rather than copied there by a reallocation and then moved.
        const size_t stretches = static_cast<size_t>(firstGap[1] - firstGap[0]) + 1;
        std::vector<int64_t> from(stretches), to(stretches), dest(stretches), gapOut(stretches);
        TextBuffer& text = doc.documentText;
        const int32_t oldLength = text.length();
        TextBuffer grown;
        if ((full[0] > text.capacity() || !text.data()) &&
            !grown.Reallocate(static_cast<int32_t>(full[0])))
            throw std::bad_alloc();

        // From here on nothing can fail.
        const char16_t* const source = text.data();
        char16_t* o = grown.data() ? grown.data() : text.data();
        outStart[0] = 0;
        {
            size_t n = 0;
            int64_t w = 0;
            int32_t pos = 0;
            for (int32_t k = firstGap[0]; k < firstGap[1]; ++k) {
                const Gap& g = gaps[order[k]];
                if (g.at < pos) continue;  // inside characters another gap removed: emptied
                from[n] = pos;
                to[n] = g.at;
                dest[n] = w;
                w += g.at - pos;
                gapOut[n] = w;
                w += gained[order[k]] + g.removed;
                pos = g.at + g.removed;
                ++n;
            }
            from[n] = pos;
            to[n] = oldLength;
            dest[n] = w;
            auto move = [&](size_t i) {
                if (to[i] > from[i])
                    std::memmove(o + dest[i], source + from[i],
                                 static_cast<size_t>(to[i] - from[i]) * sizeof(char16_t));
            };
            if (o != source) {
                for (size_t i = 0; i <= n; ++i) move(i);
            } else {
                // Stretches that move left go first, from the front; then those that move
                // right, from the back: none overwrites a stretch that has yet to move.
                for (size_t i = 0; i <= n; ++i)
                    if (dest[i] < from[i]) move(i);
                for (size_t i = n + 1; i-- > 0;)
                    if (dest[i] > from[i]) move(i);
            }
            size_t m = 0;
            pos = 0;
            for (int32_t k = firstGap[0]; k < firstGap[1]; ++k) {
                const Gap& g = gaps[order[k]];
                if (g.at < pos) continue;
                int64_t gw = gapOut[m++];
                auto put = [&](int32_t piece) {
                    std::memcpy(o + gw, Chars(piece),
                                static_cast<size_t>(texts[piece].length) * sizeof(char16_t));
                    gw += texts[piece].length;
                };
                if (g.prefix != kNone) put(g.prefix);
                for (int32_t i = g.first; i != kNone; i = texts[i].next) {
                    outStart[i] = gw;
                    gw += full[i];
                }
                if (g.suffix != kNone) put(g.suffix);
                pos = g.at + g.removed;
            }
        }
        for (size_t t = 1; t < textCount; ++t) {
            if (outStart[t] < 0) continue;  // a tag part, or a text that was replaced
            const char16_t* chars = Chars(static_cast<int32_t>(t));
            int64_t w = outStart[t];
            int32_t pos = 0;
            auto put = [&](const char16_t* s, int64_t n) {
                if (n > 0) std::memcpy(o + w, s, static_cast<size_t>(n) * sizeof(char16_t));
                w += n;
            };
            for (int32_t k = firstGap[t]; k < firstGap[t + 1]; ++k) {
                const Gap& g = gaps[order[k]];
                if (g.at < pos) continue;  // inside characters another gap removed: emptied
                put(chars + pos, g.at - pos);
                if (g.prefix != kNone) put(Chars(g.prefix), texts[g.prefix].length);
                for (int32_t i = g.first; i != kNone; i = texts[i].next) {
                    outStart[i] = w;
                    w += full[i];
                }
                if (g.suffix != kNone) put(Chars(g.suffix), texts[g.suffix].length);
                pos = g.at + g.removed;
            }
            put(chars + pos, texts[t].length - pos);
        }
        if (grown.data()) text.Swap(grown);
        text.Resize(static_cast<int32_t>(full[0]));

        // A record moves by what the gaps of its text gained before it: a gap at its start
        // comes before it, a gap at its end lies outside it. Records follow their text's order
        // mostly (a parse takes them so), and an end lies past its start: each search starts
        // from where the last one ended.
        const auto end = static_cast<ElementHandle>(doc.nextRecord);
        int32_t hintText = kNone;
        const int32_t* hint = nullptr;
        for (ElementHandle h = 1; h < end; ++h) {
            ElementRecord& r = doc.RecordAt(h);
            if (r.flags == ElemReleased) continue;
            const int32_t t = HomeOf(h);
            if (outStart[t] < 0) continue;
            const int32_t s = r.start;
            const int32_t e = s + r.length;
            const int32_t* a0 = at.data() + firstGap[t];
            const int32_t* a1 = at.data() + firstGap[t + 1];
            if (t != hintText) {
                hintText = t;
                hint = a0;
            }
            hint = SearchFrom(a0, a1, hint, s, true);
            const int64_t startGain =
                before[hint - at.data()] - before[static_cast<size_t>(firstGap[t])];
            const int64_t endGain = before[SearchFrom(a0, a1, hint, e, false) - at.data()] -
                                    before[static_cast<size_t>(firstGap[t])];
            const int64_t start = outStart[t] + s + startGain;
            r.start = static_cast<int32_t>(start);
            r.length = static_cast<int32_t>(outStart[t] + e + endGain - start);
        }
        doc.RecordAt(0).length = static_cast<int32_t>(full[0]);
    } catch (const std::bad_alloc&) {
        Rollback();
        return false;
    }
    applied = true;
    saved.clear();
    return true;
}

CXmlEditBatch::CXmlEditBatch(CXmlDocument& doc) : impl_(new Impl(doc)) {}

CXmlEditBatch::~CXmlEditBatch() {
    if (!impl_->applied && !impl_->failed) impl_->Rollback();
}

bool CXmlEditBatch::Failed() const {
    return impl_->failed;
}

bool CXmlEditBatch::Holds(ElementHandle element) const {
    const Impl& b = *impl_;
    return !b.applied && element >= static_cast<ElementHandle>(b.savedNext) &&
           element < static_cast<ElementHandle>(b.doc.nextRecord);
}

bool CXmlEditBatch::Apply() {
    Impl& b = *impl_;
    if (b.failed) return false;
    if (b.applied) return true;
    return b.Apply();
}

ElementHandle CXmlEditBatch::AppendSubtree(ElementHandle parent, ElementHandle after,
                                           const char16_t* text, uint32_t flags, bool* result,
                                           bool* inserted) {
    Impl& b = *impl_;
    CXmlDocument& doc = b.doc;
    if (result) *result = false;
    if (inserted) *inserted = false;
    flags &= ~(EditReplaceContent | EditAsChild);
    if (b.failed || b.applied || !text || !b.Placeable(parent, after)) return 0;
    const uint32_t topLevel = parent ? doc.RecordAt(parent).Level() + 1 : 0;
    if (topLevel > kMaxLevel) return 0;
    const int64_t textLength64 = std::char_traits<char16_t>::length(text);
    if (textLength64 > INT32_MAX - static_cast<int64_t>(doc.documentText.length()) - b.growth)
        return 0;
    const int32_t textLength = static_cast<int32_t>(textLength64);

    const int32_t editNext = doc.nextRecord;
    CString editResult;
    const ParseResult editParse = doc.parseResult;
    bool resultTaken = false;
    try {
        b.SaveResult();
        if (!doc.ReserveRecords(static_cast<int64_t>(doc.nextRecord) + 1 +
                                CXmlDocument::PossibleElements(text, textLength)))
            throw std::bad_alloc();
        editResult.swap(doc.resultText);
        resultTaken = true;
        auto refuse = [&] {
            doc.nextRecord = editNext;
            doc.resultText.swap(editResult);
            doc.parseResult = editParse;
            return ElementHandle{0};
        };

        const ElementHandle root = doc.TakeRecord();
        if (!root) throw std::bad_alloc();
        doc.RecordAt(root) = ElementRecord{};
        doc.RecordAt(root).SetLevel(topLevel);
        TokenCursor cursor(text, doc.documentFlags);
        const ElementHandle first = doc.ParseElements(root, cursor);
        if (cursor.next < textLength) throw std::bad_alloc();
        const uint32_t rootFlags = doc.RecordAt(root).flags;
        bool ok = first != 0 && !(rootFlags & ElemIllFormed);
        if ((rootFlags & ElemIllFormed) && doc.ExceedsRecordBounds(text, textLength, root))
            return refuse();
        ElementHandle last = first;
        while (last && doc.RecordAt(last).nextSibling) last = doc.RecordAt(last).nextSibling;

        int32_t t = 0;
        std::u16string_view item(text, static_cast<size_t>(textLength));
        if (ok) {
            t = doc.RecordAt(first).start;
            int32_t count = doc.RecordAt(first).length;
            if (last != first) {
                ok = false;
                count = doc.RecordAt(last).start + doc.RecordAt(last).length - t;
            }
            item = item.substr(static_cast<size_t>(t), static_cast<size_t>(count));
        } else {
            flags |= EditNoLineBreaks;
        }
        ElementHandle reference = after;
        int32_t itemOffset = 0;
        const int32_t added = b.Insert(parent, reference, flags, item, itemOffset);
        if (added == kNone) return refuse();

        b.Adopt(root + 1, added, itemOffset - t);
        if (rootFlags & ElemHasError) {
            b.Save(parent);
            doc.RecordAt(parent).flags |= ElemHasError;
        }
        ElementHandle previous = reference;
        for (ElementHandle m = first; m;) {
            const ElementHandle following = doc.RecordAt(m).nextSibling;
            b.Link(parent, previous, m);
            previous = m;
            m = following;
        }
        doc.ReleaseRecord(root);
        if (result) *result = ok;
        if (inserted) *inserted = true;
        return first;
    } catch (const std::bad_alloc&) {
        if (resultTaken) {
            doc.resultText.swap(editResult);
            doc.parseResult = editParse;
        }
        b.Rollback();
        return 0;
    }
}

// The parse of the subtree's text would give back the source's records, moved to start at 0:
// the source's index is what a parse of its text gives, the subtree holds no error, and
// every end tag spells its start tag's name exactly, so that whether names compare without
// case decides nothing. Anything else, or a subtree of this very document, goes by its text.
ElementHandle CXmlEditBatch::AppendSubtreeFrom(ElementHandle parent, ElementHandle after,
                                               const CXmlDocument& source, ElementHandle element,
                                               uint32_t flags, bool* result, bool* inserted) {
    Impl& b = *impl_;
    CXmlDocument& doc = b.doc;
    auto byText = [&]() -> ElementHandle {
        try {
            const CString text = source.GetElementSubtreeText(element);
            return AppendSubtree(parent, after, text.c_str(), flags, result, inserted);
        } catch (const std::bad_alloc&) {
            b.Rollback();
            return 0;
        }
    };
    if (&source == &doc || element == 0 ||
        element >= static_cast<ElementHandle>(source.nextRecord) ||
        source.RecordAt(element).flags == ElemReleased)
        return byText();
    const ElementRecord& e = source.RecordAt(element);
    const char16_t* const st = source.documentText.c_str();
    if (e.start < 0 || e.length <= 0 ||
        static_cast<int64_t>(e.start) + e.length > source.documentText.length())
        return byText();
    const int32_t end = e.start + e.length;
    // The text's own length, with the whitespace GetElementSubtreeText keeps; a NUL would end
    // it early.
    int32_t stop = end;
    int32_t p = stop;
    if (!CXmlDocument::SkipWhitespace(st, p) || st[p] == u'<') stop = p;
    if (std::u16string_view(st + e.start, static_cast<size_t>(stop - e.start)).find(u'\0') !=
        std::u16string_view::npos)
        return byText();

    if (result) *result = false;
    if (inserted) *inserted = false;
    flags &= ~(EditReplaceContent | EditAsChild);
    if (b.failed || b.applied || !b.Placeable(parent, after)) return 0;
    const uint32_t topLevel = parent ? doc.RecordAt(parent).Level() + 1 : 0;
    if (topLevel > kMaxLevel) return 0;
    if (stop - e.start > INT32_MAX - static_cast<int64_t>(doc.documentText.length()) - b.growth)
        return 0;

    const int32_t editNext = doc.nextRecord;
    try {
        b.SaveResult();
        const ElementHandle root = doc.TakeRecord();
        if (!root) throw std::bad_alloc();
        doc.RecordAt(root) = ElementRecord{};
        doc.RecordAt(root).SetLevel(topLevel);
        // The source's elements in document order, taken and linked as the parser does.
        ElementHandle s = element;
        ElementHandle current = root;
        uint32_t depth = 0;
        int32_t from = e.start;  // where the next element may start
        bool clean = true;
        for (;;) {
            const ElementRecord& sr = source.RecordAt(s);
            const int32_t startTag = sr.StartTagLength();
            const int32_t endTag = sr.EndTagLength();
            const int32_t srEnd = sr.start + sr.length;
            clean = !(sr.flags & (ElemReleased | ElemUnended | ElemHasError | ElemIllFormed)) &&
                    topLevel + depth <= kMaxLevel && sr.start >= from && srEnd <= end &&
                    startTag >= 2 && startTag <= kMaxStartTagLength && st[sr.start] == u'<' &&
                    (endTag == 0 ? sr.length == startTag
                                 : endTag >= 3 && endTag <= kMaxEndTagLength &&
                                       sr.length >= startTag + endTag);
            if (clean && endTag) {
                const char16_t* endName = st + srEnd - endTag + 2;
                clean = std::char_traits<char16_t>::compare(endName, st + sr.start + 1,
                                                            static_cast<size_t>(endTag - 3)) == 0;
            }
            if (!clean) break;
            const ElementHandle r = doc.TakeRecord();
            if (!r) throw std::bad_alloc();
            doc.LinkLastChild(current, r);
            ElementRecord& rec = doc.RecordAt(r);
            rec.SetLevel(topLevel + depth);
            rec.firstChild = 0;
            rec.start = sr.start - e.start;
            rec.length = sr.length;
            rec.tagLengths = static_cast<uint32_t>(startTag);
            rec.SetEndTagLength(endTag);
            from = sr.start + startTag;
            if (sr.firstChild) {
                current = r;
                s = sr.firstChild;
                ++depth;
                continue;
            }
            while (s != element && !source.RecordAt(s).nextSibling) {
                s = source.RecordAt(s).parent;
                current = doc.RecordAt(current).parent;
                --depth;
            }
            if (s == element) break;
            from = source.RecordAt(s).start + source.RecordAt(s).length;
            s = source.RecordAt(s).nextSibling;
        }
        if (!clean) {
            doc.nextRecord = editNext;
            return byText();
        }

        const ElementHandle first = root + 1;
        ElementHandle reference = after;
        int32_t itemOffset = 0;
        // The source's characters are placed by Apply, not copied now.
        const int32_t added =
            b.Insert(parent, reference, flags,
                     std::u16string_view(st + e.start, static_cast<size_t>(e.length)), itemOffset,
                     st + source.documentText.length());
        if (added == kNone) {
            doc.nextRecord = editNext;
            return 0;
        }
        b.Adopt(first, added, itemOffset);
        b.Link(parent, reference, first);
        doc.ReleaseRecord(root);
        // What the parse of a text without error leaves.
        doc.resultText.clear();
        doc.parseResult = {};
        if (result) *result = true;
        if (inserted) *inserted = true;
        return first;
    } catch (const std::bad_alloc&) {
        b.Rollback();
        return 0;
    }
}

ElementHandle CXmlEditBatch::AppendElement(ElementHandle parent, ElementHandle after,
                                           const char16_t* name, const char16_t* value,
                                           uint32_t flags) {
    Impl& b = *impl_;
    CXmlDocument& doc = b.doc;
    flags &= ~(EditReplaceContent | EditAsChild);
    if (b.failed || b.applied || !b.Placeable(parent, after)) return 0;
    try {
        CString text;
        int32_t startTag = 0;
        int32_t endTag = 0;
        if (!CXmlDocument::ElementText(name, value, flags, text, startTag, endTag)) return 0;
        if (parent && doc.RecordAt(parent).Level() >= kMaxLevel) return 0;
        const ElementHandle element = doc.TakeRecord();
        if (!element) throw std::bad_alloc();
        ElementHandle reference = after;
        int32_t itemOffset = 0;
        const int32_t added = b.Insert(parent, reference, flags, text, itemOffset);
        if (added == kNone) {
            doc.nextRecord = element;
            return 0;
        }
        ElementRecord& rec = doc.RecordAt(element);
        rec.start = 0;
        rec.length = static_cast<int32_t>(text.size());
        rec.tagLengths = 0;
        rec.SetStartTagLength(startTag);
        rec.SetEndTagLength(endTag);
        rec.firstChild = 0;
        rec.flags = (flags & EditUnended) ? uint32_t{ElemUnended} : 0u;
        b.Adopt(element, added, itemOffset);
        b.Link(parent, reference, element);
        return element;
    } catch (const std::bad_alloc&) {
        b.Rollback();
        return 0;
    }
}

bool CXmlEditBatch::SetContent(ElementHandle handle, const char16_t* value, uint32_t flags) {
    Impl& b = *impl_;
    CXmlDocument& doc = b.doc;
    if (b.failed || b.applied || handle == 0 || !b.Live(handle)) return false;
    if (doc.RecordAt(handle).firstChild) return false;
    if (!value) value = u"";
    try {
        const CString s = (flags & EditCdata) ? CXmlDocument::WrapCdata(value)
                                              : CXmlDocument::EscapeText(value, flags);
        // A recount leaves most of a large catalog's counts as they are: an edit that would
        // write the content it replaces takes no room in the batch.
        if (b.HoldsContent(handle, s)) return true;
        ElementHandle reference = 0;
        int32_t itemOffset = 0;
        if (b.Insert(handle, reference, EditReplaceContent | EditNoLineBreaks, s, itemOffset) ==
            kNone)
            return false;
        b.Save(handle);
        doc.RecordAt(handle).flags &= ~ElemHasError;
        return true;
    } catch (const std::bad_alloc&) {
        b.Rollback();
        return false;
    }
}

bool CXmlEditBatch::RemoveElement(ElementHandle element, uint32_t flags) {
    Impl& b = *impl_;
    if (b.failed || b.applied || Holds(element) || !b.doc.Removable(element, flags)) return false;
    try {
        return b.Remove(element, flags);
    } catch (const std::bad_alloc&) {
        b.Rollback();
        return false;
    }
}

bool CXmlEditBatch::InsertText(ElementHandle parent, ElementHandle after, std::u16string_view text,
                               uint32_t flags) {
    Impl& b = *impl_;
    flags &= ~(EditReplaceContent | EditAsChild);
    if (b.failed || b.applied || !b.Placeable(parent, after)) return false;
    try {
        ElementHandle reference = after;
        int32_t itemOffset = 0;
        return b.Insert(parent, reference, flags, text, itemOffset) != kNone;
    } catch (const std::bad_alloc&) {
        b.Rollback();
        return false;
    }
}
