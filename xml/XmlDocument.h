// CXmlDocument: an XML document kept as one UTF-16 text with an index of fixed element
// records holding offsets into it. Edits splice the text and correct the offsets by
// arithmetic; nothing is parsed twice.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/TextBuffer.h"

using ElementHandle = uint32_t;

namespace platform {
struct File;
class TempFile;
}  // namespace platform

// ---- element records ----------------------------------------------------------------------

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

// Segmented array of records: full segments never move when the index grows.
struct ElementIndex {
    ElementRecord** segmentTable = nullptr;
    int32_t recordCapacity = 0;
    int32_t segmentTableCapacity = 0;

    ElementIndex() = default;
    ElementIndex(const ElementIndex&) = delete;
    ElementIndex& operator=(const ElementIndex&) = delete;
    ~ElementIndex();

    ElementRecord& At(ElementHandle h) const { return segmentTable[h >> 16][h & 0xFFFF]; }
    int32_t SegmentCount() const {
        return recordCapacity > 0 ? ((recordCapacity - 1) >> 16) + 1 : 0;
    }

    // Allocation hooks, replaceable by tests to count frees or inject failures.
    static void* (*allocate)(size_t bytes);
    static void (*release)(void* block);
};

// Named positions; nothing in this system fills the table, it is only discarded.
struct SavedPosition {
    CString name;
    int32_t word1;
    int32_t word2;
};

struct SavedPositionTable {
    static constexpr int kBuckets = 7;
    // Null when empty, else kBuckets bucket pointers; each bucket is a counted array whose
    // element count is stored in front of it.
    SavedPosition** table = nullptr;

    SavedPositionTable() = default;
    SavedPositionTable(const SavedPositionTable&) = delete;
    SavedPositionTable& operator=(const SavedPositionTable&) = delete;
    ~SavedPositionTable() { Discard(); }
    void Discard();
};

// ---- scanning -----------------------------------------------------------------------------

enum : int32_t {
    NodeEndTag = 0,
    NodeElement = 1,
    NodeText = 2,
    NodeWhitespace = 4,
    NodeCData = 8,
    NodeProcessingInstruction = 16,
    NodeComment = 32,
    NodeDoctype = 64,
    NodeError = -1,
    NodeEnd = -2,
};

constexpr uint32_t TokenEmptyElement = 0x10000;
constexpr uint32_t DocIgnoreCase = 8;  // documentFlags: names compare without case
constexpr uint32_t CursorAttributeScan = 0x8000;

struct TokenCursor {
    int32_t nameStart = 0;
    int32_t nameEnd = -1;
    int32_t next = 0;
    const char16_t* text = nullptr;
    uint32_t flags = 0;
    int32_t markOffset = 0;
    int32_t markLength = 0;

    TokenCursor() = default;
    TokenCursor(const char16_t* t, uint32_t f) : text(t), flags(f) {}
};

struct NodeToken {
    int32_t type = 0;
    int32_t start = 0;
    int32_t length = 0;
    uint32_t flags = 0;
    CString name;  // a processing instruction's target, an error's message
    // An element's name, where it stands in the scanned text: no copy per start tag.
    int32_t nameStart = 0;
    int32_t nameLength = 0;
};

// ---- editing ------------------------------------------------------------------------------

enum : uint32_t {
    EditCdata = 0x0001,
    EditNoLineBreaks = 0x0002,
    EditSpacedEmptyTag = 0x0004,
    EditKeepReferences = 0x0008,
    EditUnended = 0x0010,
    EditEscapeQuotes = 0x0100,
    EditReplaceContent = 0x1000,
    EditInsertBefore = 0x2000,
    EditAsChild = 0x4000,
};

struct InsertRequest {
    int32_t insertOffset = 0;
    int32_t insertLength = 0;
    uint32_t insertFlags = 0;
    CString insertText;
};

// Where InsertText puts an item, decided from the parent, the reference and the flags alone,
// so that a single edit and an edit batch place text alike.
struct TextPlacement {
    enum Anchor : uint8_t { AfterReference, BeforeReference, InEmptyTag, ContentStart, ContentEnd };
    enum Splice : uint8_t { AtAnchor, OpenEmptyTag, ReplaceContent, IntoEmptyContent };
    Anchor anchor;
    Splice splice;
    bool skipWhitespace;      // from the anchor over whitespace, when markup or the end follows
    bool lineBreaks;          // "\r\n" after the item (and before it, into empty content)
    ElementHandle linkAfter;  // the sibling a new element follows, 0 for the first child
};

class CXmlDocument;

// Many edits at once. Each edit is stated with its parent and reference element, against the
// document as the edits before it leave it, and has exactly the effect on the text and the
// records that the same single edit would have (InsertText with its index correction,
// AppendSubtree, AppendElement, SetContent); the navigation positions are left alone.
// Nothing is spliced or moved until Apply, which builds the new text once and moves every
// record once. All or nothing: when memory runs out, in an edit or in Apply, the document goes
// back to exactly what it was before the batch, and so does a batch dropped unapplied.
// Between the first edit and Apply the document must not be read.
class CXmlEditBatch {
  public:
    explicit CXmlEditBatch(CXmlDocument& doc);
    ~CXmlEditBatch();
    CXmlEditBatch(const CXmlEditBatch&) = delete;
    CXmlEditBatch& operator=(const CXmlEditBatch&) = delete;

    // `after` is a child of `parent` or 0, as mainHandle is for the single edits. The appends
    // return the first new element, 0 when none was added; `result` gets what the single
    // edit returns.
    ElementHandle AppendSubtree(ElementHandle parent, ElementHandle after, const char16_t* text,
                                uint32_t flags, bool* result = nullptr);
    ElementHandle AppendElement(ElementHandle parent, ElementHandle after, const char16_t* name,
                                const char16_t* value, uint32_t flags);
    bool SetContent(ElementHandle handle, const char16_t* value, uint32_t flags);
    // Text that holds no element, placed as InsertText places it.
    bool InsertText(ElementHandle parent, ElementHandle after, std::u16string_view text,
                    uint32_t flags);

    // False when memory ran out; the document is then as it was before the batch.
    bool Apply();
    bool Failed() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- the document -------------------------------------------------------------------------

class CXmlDocument {
  public:
    CXmlDocument();
    ~CXmlDocument() = default;
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // ---- element index ----
    // False only when memory ran out; the index is then as it was.
    bool GrowIndex(int32_t requested);
    // Handle of a fresh, uncleared record; 0 when the index cannot grow. Inline: the parser
    // takes one per element.
    ElementHandle TakeRecord() {
        if (nextRecord < elementIndex.recordCapacity)
            return static_cast<ElementHandle>(nextRecord++);
        return TakeRecordAfterGrowth();
    }
    ElementHandle ReleaseRecord(ElementHandle handle);
    // Fills a record, as one taken with TakeRecord must be before LinkElement.
    void SetRecord(ElementHandle handle, const ElementRecord& record) { RecordAt(handle) = record; }

    // ---- parser ----
    bool ParseDocument();
    ElementHandle ParseElements(ElementHandle parent, TokenCursor& cursor);
    bool IsWellFormed() const;
    // Empty when a fresh parse of the text, which must be well-formed, gives the same elements
    // in document order as the index (spans, tag lengths, levels, first-child and unended
    // marks, links); otherwise what differs first.
    std::string IndexDifference() const;
    // One record as a line: "handle start length startTag endTag level flags parent
    // firstChild nextSibling prevSibling", the form the tools and the tests print.
    std::string RecordLine(ElementHandle handle) const;
    static int32_t ScanNode(TokenCursor& cursor, NodeToken& token);
    static bool SkipWhitespace(const char16_t* text, int32_t& position);
    static bool NextToken(TokenCursor& cursor);
    static CString TokenText(const TokenCursor& cursor);
    static bool TokenMatches(const TokenCursor& cursor, const char16_t* name);

    // ---- navigation and reading ----
    // Puts the position where the navigation could leave it: on `main`, a child of `parent`
    // or 0 for none yet, with `child` the child of `main` that EnterElement goes to.
    void SetPosition(ElementHandle parent, ElementHandle main, ElementHandle child);
    // Names compare without case from then on, in the parse and in every search.
    void SetIgnoreCase(bool ignore);
    bool FindElement(const char16_t* name);
    ElementHandle FindNamedElement(ElementHandle parent, ElementHandle after,
                                   const char16_t* name) const;
    bool EnterElement();
    bool LeaveElement();
    void ResetPosition();
    CString GetAttribute(const char16_t* name) const;
    CString GetElementAttribute(ElementHandle handle, const char16_t* name) const;
    bool FindAttributeToken(TokenCursor& cursor, const char16_t* name) const;
    CString GetSubtreeText() const;
    CString GetElementSubtreeText(ElementHandle handle) const;
    CString GetElementName(ElementHandle handle) const;
    static CString DecodeText(const char16_t* text, int32_t length);

    // ---- editing ----
    bool AppendElement(const char16_t* name, const char16_t* value, uint32_t flags);
    bool AppendElement(const char16_t* name, int32_t value, uint32_t flags);
    bool AppendSubtree(const char16_t* text, uint32_t flags);
    bool SetContent(ElementHandle handle, const char16_t* value, uint32_t flags);
    bool SetContent(ElementHandle handle, int32_t value);

    // ---- splicing and index correction ----
    // Room for `capacity` characters, so that edits up to it splice in place; false when
    // memory runs out.
    bool ReserveText(int32_t capacity);
    bool SpliceText(int32_t index, int32_t removedLength, const char16_t* replacement,
                    int32_t replacementLength);
    void AdjustOffsets(ElementHandle handle, int32_t delta, bool skipChildren);
    void AdjustAfterNodeEdit(ElementHandle parent, ElementHandle handle, int32_t delta);
    int32_t InsertText(ElementHandle parent, ElementHandle& reference, InsertRequest& request);
    // emptyTag and noContent are InsertText's two facts about the parent.
    TextPlacement PlaceText(ElementHandle parent, ElementHandle reference, uint32_t flags,
                            bool emptyTag, bool noContent) const;
    void LinkElement(ElementHandle parent, ElementHandle after, ElementHandle handle);

    // ---- escaping ----
    static CString EscapeText(const char16_t* text, uint32_t flags);
    static CString WrapCdata(const char16_t* text);

    // ---- load and save ----
    bool SetDocumentText(const char16_t* text);
    bool SetDocumentText(std::u16string_view text);
    bool LoadFile(const char16_t* path);
    bool SaveFile(const char16_t* path);
    // The same through files the caller opened by handle: LoadFile reads `file` and closes it;
    // SaveFile writes the text into `temporary` and forces it to the disk, leaving it to the
    // caller to keep (move into place) or discard.
    bool LoadFile(platform::File* file);
    bool SaveFile(platform::TempFile& temporary);
    // Whether the last LoadFile read its file exactly: its bytes come back byte for byte from
    // the text in the code page (no substitute, no invalid sequence, no byte-order mark). False
    // after a failed load; true after SetDocumentText.
    bool LoadedExactly() const { return loadedExactly; }
    // `exact`, when given, tells whether the file's bytes come back from the text byte for byte.
    static bool ReadTextFile(const char16_t* path, TextBuffer& text, CString& result,
                             bool* exact = nullptr);
    static bool WriteTextFile(const char16_t* path, const TextBuffer& text, CString& result);
    static CString SystemErrorText();

    // ---- rules the single edits and the edit batch share ----
    // Length of a well-formed element name, or -1.
    static int64_t NameLength(const char16_t* name);
    // Upper bound of the elements a text can hold.
    static int64_t PossibleElements(const char16_t* text, int32_t length);
    // Room for `needed` records; false, with the records in use untouched, when memory runs out.
    bool ReserveRecords(int64_t needed);
    // After a parse with errors below `root`: whether one came from a record-field bound.
    bool ExceedsRecordBounds(const char16_t* text, int32_t textLength, ElementHandle root) const;
    // The text of a new element as AppendElement writes it; false when the name, the bounds of
    // the record fields or the flags refuse it.
    static bool ElementText(const char16_t* name, const char16_t* value, uint32_t flags,
                            CString& text, int32_t& startTag, int32_t& endTag);

  private:
    friend class CXmlInspector;
    friend class CXmlEditBatch;

    ElementRecord& RecordAt(ElementHandle h) const { return elementIndex.At(h); }
    ElementHandle TakeRecordAfterGrowth();

    // Fields, in declaration order.
    TextBuffer documentText;
    CString resultText;
    ElementHandle parentHandle = 0;
    ElementHandle mainHandle = 0;
    ElementHandle childHandle = 0;
    int32_t nextRecord = 1;
    ElementHandle releasedHead = 0;
    int32_t nodeType = 0;
    int32_t nodeOffset = 0;
    int32_t nodeLength = 0;
    uint32_t documentFlags = 0;
    SavedPositionTable savedPositions;
    ElementIndex elementIndex;
    bool loadedExactly = true;
};

// Read access to a document's state, for the code and the tests that work at the level of its
// records. Reads the document live: nothing is copied.
class CXmlInspector {
  public:
    explicit CXmlInspector(const CXmlDocument& doc) : doc_(doc) {}

    const ElementRecord& Record(ElementHandle h) const { return doc_.elementIndex.At(h); }
    const ElementIndex& Index() const { return doc_.elementIndex; }
    int32_t NextRecord() const { return doc_.nextRecord; }
    ElementHandle ReleasedHead() const { return doc_.releasedHead; }
    ElementHandle ParentHandle() const { return doc_.parentHandle; }
    ElementHandle MainHandle() const { return doc_.mainHandle; }
    ElementHandle ChildHandle() const { return doc_.childHandle; }
    int32_t NodeType() const { return doc_.nodeType; }
    int32_t NodeOffset() const { return doc_.nodeOffset; }
    int32_t NodeLength() const { return doc_.nodeLength; }
    uint32_t DocumentFlags() const { return doc_.documentFlags; }
    const SavedPositionTable& SavedPositions() const { return doc_.savedPositions; }
    const TextBuffer& DocumentText() const { return doc_.documentText; }
    const CString& ResultText() const { return doc_.resultText; }

  private:
    const CXmlDocument& doc_;
};

// Formats like swprintf with "%d" / "%s" only; the XML class's messages use nothing else.
CString FormatMessageText(const char16_t* format, ...);
// Decimal text of a signed 32-bit number, as "%d" writes it.
CString DecimalText(int32_t value);
