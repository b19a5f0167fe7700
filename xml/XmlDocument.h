// CXmlDocument: an XML document kept as one UTF-16 text with an index of fixed element
// records holding offsets into it. Edits splice the text and correct the offsets by
// arithmetic; nothing is parsed twice.
//
// The public operations:
//   load and save   SetDocumentText, LoadFile, SaveFile, LoadedExactly, LoadedUtf8Text;
//                   static ReadTextFile, WriteTextFile, SystemErrorText
//   the text        DocumentText, ResultText, IsWellFormed, LastParse, IndexDifference
//   navigation      FindElement, EnterElement, LeaveElement, ResetPosition, SetIgnoreCase,
//                   IgnoresCase, FindNamedElement, ParentHandle, MainHandle, ChildHandle,
//                   SetPosition
//   reading         GetAttribute, GetElementAttribute, GetSubtreeText, GetElementSubtreeText,
//                   GetElementName; static DecodeText
//   by handle       FirstChild, NextSibling, IsNamed, GetStableAttribute, ElementOffset,
//                   AttributeOffset, GetElementForm
//   editing         AppendElement, AppendSubtree, SetContent, RemoveElement; many at once:
//                   CXmlEditBatch (with AppendSubtreeFrom, an element of another document)
//   escaping        static EscapeText, WrapCdata
// The records, the scanner's tokens, placement and splicing are internal (xml/internal/).
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

// Flags of the edits (AppendElement, AppendSubtree, SetContent, RemoveElement and the edit
// batch's).
enum : uint32_t {
    EditCdata = 0x0001,             // the value as a CDATA section, not escaped
    EditNoLineBreaks = 0x0002,      // no "\r\n" around the new text, no whitespace skipped
    EditSpacedEmptyTag = 0x0004,    // an element without value ends in " />"
    EditKeepReferences = 0x0008,    // references in the value are not escaped again
    EditUnended = 0x0010,           // a start tag only, ending in ">"
    EditRestoreEmptyTag = 0x0020,   // RemoveElement: the parent was an empty-element tag
    EditRestoreNoContent = 0x0040,  // RemoveElement: the parent's tags had nothing between
    EditEscapeQuotes = 0x0100,      // quotes and apostrophes are escaped too
    EditReplaceContent = 0x1000,    // the new text replaces the parent's content
    EditInsertBefore = 0x2000,      // before the reference element, not after it
    EditAsChild = 0x4000,           // under the main element, relative to the child position
};

// How an element reads between its tags.
enum class ElementForm : uint8_t {
    Content,    // it has content (children or text)
    NoContent,  // a start tag directly followed by its end tag
    EmptyTag,   // an empty-element tag ("<albums/>")
};

// What the last parse found first (pugixml's xml_parse_status); ResultText is built from it.
enum class ParseStatus : uint8_t {
    Ok,
    OutOfMemory,
    EmptyDocument,
    NoRootElement,
    RootHasSibling,
    BadTagNameCharacter,
    BadCommentTag,
    BadTag,
    BadDeclaration,  // "<!" not followed by a comment, CDATA or a declaration
    UnterminatedTag,
    UnterminatedElementTag,
    UnterminatedEndTag,
    UnterminatedComment,
    UnterminatedCData,
    UnterminatedProcessingInstruction,
    UnterminatedDoctype,
    StartTagTooLong,
    EndTagTooLong,
    NestedTooDeeply,
    EndTagWithoutStartTag,
    EndTagMismatch,
    ElementNotEnded,
};

struct ParseResult {
    ParseStatus status = ParseStatus::Ok;
    int32_t offset = -1;  // where in the parsed text; -1 for a status without a place
};

// What ReadTextFile found of a file's bytes besides its text.
struct TextFileCheck {
    uint32_t codePage = 0;  // the code page to read in (given); 0 for the ANSI code page
    bool exact = false;     // the bytes come back from the text byte for byte
    bool utf8 = false;      // the bytes read as UTF-8 text (see LoadedUtf8Text)
};

class CXmlDocument;

// Many edits at once. Each edit is stated with its parent and reference element, against the
// document as the edits before it leave it, and has exactly the effect on the text and the
// records that the same single edit would have (AppendSubtree, AppendElement, SetContent,
// RemoveElement, and the text-only insertion they share); the navigation positions are left
// alone, except that a removal moves them off what it removes as the single edit does.
// Nothing is spliced or moved until Apply, which builds the new text once and moves every
// record once. All or nothing: when memory runs out, in an edit or in Apply, the document goes
// back to exactly what it was before the batch, and so does a batch dropped unapplied.
// Between the first edit and Apply the document's text must not be read.
class CXmlEditBatch {
  public:
    explicit CXmlEditBatch(CXmlDocument& doc);
    ~CXmlEditBatch();
    CXmlEditBatch(const CXmlEditBatch&) = delete;
    CXmlEditBatch& operator=(const CXmlEditBatch&) = delete;

    // `after` is a child of `parent` or 0, as mainHandle is for the single edits. The appends
    // return the first new element, 0 when none was added; `result` gets what the single
    // edit returns, `inserted` whether any text went in (false when the edit was refused).
    ElementHandle AppendSubtree(ElementHandle parent, ElementHandle after, const char16_t* text,
                                uint32_t flags, bool* result = nullptr, bool* inserted = nullptr);
    // AppendSubtree of `source.GetElementSubtreeText(element)`, with the same effect; a subtree
    // that parsed without error is taken with its records instead of being parsed again, and
    // its characters are read from `source` by Apply: `source` must stay as it is until then.
    ElementHandle AppendSubtreeFrom(ElementHandle parent, ElementHandle after,
                                    const CXmlDocument& source, ElementHandle element,
                                    uint32_t flags, bool* result = nullptr,
                                    bool* inserted = nullptr);
    ElementHandle AppendElement(ElementHandle parent, ElementHandle after, const char16_t* name,
                                const char16_t* value, uint32_t flags);
    bool SetContent(ElementHandle handle, const char16_t* value, uint32_t flags);
    // Text that holds no element, placed as the single edits place theirs.
    bool InsertText(ElementHandle parent, ElementHandle after, std::u16string_view text,
                    uint32_t flags);
    // RemoveElement's effect, the positions moved off the removed subtree as it moves them
    // (and put back if the batch fails). Refused besides what the single edit refuses: an
    // element added by this batch (remove it after Apply), and an element whose following
    // "\r\n" this batch's insertions have split apart (no append does that).
    bool RemoveElement(ElementHandle element, uint32_t flags);
    // Whether the element was added by this batch (its text is not in place before Apply).
    bool Holds(ElementHandle element) const;

    // False when memory ran out; the document is then as it was before the batch.
    bool Apply();
    bool Failed() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- the storage of the fields below; what it holds is internal ----------------------------

struct ElementRecord;
struct SavedPosition;
struct TokenCursor;
struct NodeToken;
struct InsertRequest;
struct TextPlacement;

// Segmented array of records: full segments never move when the index grows.
struct ElementIndex {
    ElementRecord** segmentTable = nullptr;
    int32_t recordCapacity = 0;
    int32_t segmentTableCapacity = 0;

    ElementIndex() = default;
    ElementIndex(const ElementIndex&) = delete;
    ElementIndex& operator=(const ElementIndex&) = delete;
    ~ElementIndex();

    inline ElementRecord& At(ElementHandle h) const;
    int32_t SegmentCount() const {
        return recordCapacity > 0 ? ((recordCapacity - 1) >> 16) + 1 : 0;
    }

    // Allocation hooks, replaceable by tests to count frees or inject failures; an edit
    // batch takes the blocks of its texts through them too.
    static void* (*allocate)(size_t bytes);
    static void (*release)(void* block);
};

// Named positions: null when empty, else 7 bucket pointers, each a counted array whose count
// stands in front of it. Nothing in this system fills the table, it is only discarded.
struct SavedPositionTable {
    static constexpr int kBuckets = 7;
    SavedPosition** table = nullptr;

    SavedPositionTable() = default;
    SavedPositionTable(const SavedPositionTable&) = delete;
    SavedPositionTable& operator=(const SavedPositionTable&) = delete;
    ~SavedPositionTable() { Discard(); }
    void Discard();
};

// ---- the document -------------------------------------------------------------------------

class CXmlDocument {
  public:
    CXmlDocument();
    ~CXmlDocument() = default;
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // ---- load and save ----
    // Both parse the text and return IsWellFormed; null sets an empty text.
    bool SetDocumentText(const char16_t* text);
    bool SetDocumentText(std::u16string_view text);
    // The file's text in the ANSI code page. False when the file cannot be read (nothing then
    // changes but ResultText, the system's message), otherwise the parse's result.
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
    // Whether the last LoadFile's bytes read as UTF-8 text, whatever the file's declaration
    // says: a catalog to refuse, since its names would read otherwise in the code page. False
    // after SetDocumentText, and always when the code page is UTF-8 itself.
    bool LoadedUtf8Text() const { return loadedUtf8; }
    // `check`, when given, says which code page to read in and gets what the read found.
    static bool ReadTextFile(const char16_t* path, TextBuffer& text, CString& result,
                             TextFileCheck* check = nullptr);
    static bool WriteTextFile(const char16_t* path, const TextBuffer& text, CString& result);
    static CString SystemErrorText();

    // ---- the text and the last parse ----
    const TextBuffer& DocumentText() const { return documentText; }
    // The note or message of the last load, save or parse.
    const CString& ResultText() const { return resultText; }
    bool IsWellFormed() const;
    // The last parse's first error and its offset (the document's, or an added subtree's);
    // a load that could not read its file leaves it, as it leaves the index.
    ParseResult LastParse() const { return parseResult; }
    // Empty when a fresh parse of the text, which must be well-formed, gives the same elements
    // in document order as the index (spans, tag lengths, levels, first-child and unended
    // marks, links); otherwise what differs first.
    std::string IndexDifference() const;

    // ---- navigation ----
    bool FindElement(const char16_t* name);
    bool EnterElement();
    bool LeaveElement();
    void ResetPosition();
    // Names compare without case from then on, in the parse and in every search.
    void SetIgnoreCase(bool ignore);
    bool IgnoresCase() const;
    ElementHandle FindNamedElement(ElementHandle parent, ElementHandle after,
                                   const char16_t* name) const;
    ElementHandle ParentHandle() const { return parentHandle; }
    ElementHandle MainHandle() const { return mainHandle; }
    ElementHandle ChildHandle() const { return childHandle; }
    // Puts the position where the navigation could leave it: on `main`, a child of `parent`
    // or 0 for none yet, with `child` the child of `main` that EnterElement goes to.
    void SetPosition(ElementHandle parent, ElementHandle main, ElementHandle child);

    // ---- reading ----
    CString GetAttribute(const char16_t* name) const;
    CString GetElementAttribute(ElementHandle handle, const char16_t* name) const;
    CString GetSubtreeText() const;
    CString GetElementSubtreeText(ElementHandle handle) const;
    CString GetElementName(ElementHandle handle) const;
    static CString DecodeText(const char16_t* text, int32_t length);

    // ---- reading by handle ----
    // The children of an element (0: the document level) in order; 0 after the last.
    ElementHandle FirstChild(ElementHandle parent) const;
    ElementHandle NextSibling(ElementHandle element) const;
    // Whether FindElement takes the element for one of that name.
    bool IsNamed(ElementHandle element, const char16_t* name) const;
    // The attribute's value as GetElementAttribute reads it, into `value`. True when the read
    // ends inside the start tag, and before the "/" that opening an empty element up to take
    // content removes: then no text placed around the element, nor opening it up, changes it.
    bool GetStableAttribute(ElementHandle element, const char16_t* name, CString& value) const;
    // Where the start tag begins in DocumentText(), and where the value GetElementAttribute
    // reads begins; -1 for none.
    int32_t ElementOffset(ElementHandle element) const;
    int32_t AttributeOffset(ElementHandle element, const char16_t* name) const;
    // Content for a handle that names no element and for a start tag left unended.
    ElementForm GetElementForm(ElementHandle element) const;

    // ---- editing ----
    bool AppendElement(const char16_t* name, const char16_t* value, uint32_t flags);
    bool AppendElement(const char16_t* name, int32_t value, uint32_t flags);
    bool AppendSubtree(const char16_t* text, uint32_t flags);
    bool SetContent(ElementHandle handle, const char16_t* value, uint32_t flags);
    bool SetContent(ElementHandle handle, int32_t value);
    // The inverse of an append with flags 0: takes out the element with its subtree and the
    // "\r\n" right after its end tag, when one is there. With EditRestoreEmptyTag or
    // EditRestoreNoContent (the parent's GetElementForm before the append), a parent left
    // holding exactly "\r\n", the element, "\r\n" reads again as it did before the append
    // opened it up: "<albums/>" or "<albums />" as it was, or "<albums></albums>"; otherwise
    // the flag changes nothing. Positions inside the removed subtree go to the element before
    // it: a main position becomes its previous sibling or 0 (child 0, parent the element's
    // parent), a child position the previous sibling or 0. Refused, with nothing changed: 0,
    // a released or unknown handle, a top-level element (the root), an element that is or
    // holds an unended element (a fresh parse would read the text otherwise), both flags.
    bool RemoveElement(ElementHandle element, uint32_t flags);

    // ---- escaping ----
    static CString EscapeText(const char16_t* text, uint32_t flags);
    static CString WrapCdata(const char16_t* text);

  private:
    // The internal steps, declared here for the code of xml/ and reached from outside it only
    // through XmlInternals (xml/internal/XmlInternals.h), which says what each one does.
    friend class XmlInternals;
    friend class CXmlEditBatch;

    inline ElementRecord& RecordAt(ElementHandle h) const;
    inline void SetRecord(ElementHandle handle, const ElementRecord& record);
    // Links a new record as the last child of `parent`: links, parent and first-child mark.
    inline void LinkLastChild(ElementHandle parent, ElementHandle handle);
    bool GrowIndex(int32_t requested);
    // Inline: the parser takes one per element.
    ElementHandle TakeRecord() {
        if (nextRecord < elementIndex.recordCapacity)
            return static_cast<ElementHandle>(nextRecord++);
        return TakeRecordAfterGrowth();
    }
    ElementHandle TakeRecordAfterGrowth();
    ElementHandle ReleaseRecord(ElementHandle handle);
    bool ReserveRecords(int64_t needed);
    std::string RecordLine(ElementHandle handle) const;

    bool ParseDocument();
    ElementHandle ParseElements(ElementHandle parent, TokenCursor& cursor);
    void NoteParseError(ParseStatus status, int32_t offset, std::u16string_view name = {},
                        std::u16string_view startName = {}, int32_t startOffset = 0);
    static int32_t ScanNode(TokenCursor& cursor, NodeToken& token);
    static bool SkipWhitespace(const char16_t* text, int32_t& position);
    static bool NextToken(TokenCursor& cursor);
    static CString TokenText(const TokenCursor& cursor);
    static bool TokenMatches(const TokenCursor& cursor, const char16_t* name);
    bool FindAttributeToken(TokenCursor& cursor, const char16_t* name) const;

    bool ReserveText(int32_t capacity);
    bool SpliceText(int32_t index, int32_t removedLength, const char16_t* replacement,
                    int32_t replacementLength);
    void AdjustOffsets(ElementHandle handle, int32_t delta, bool skipChildren);
    void AdjustAfterNodeEdit(ElementHandle parent, ElementHandle handle, int32_t delta);
    int32_t InsertText(ElementHandle parent, ElementHandle& reference, InsertRequest& request);
    TextPlacement PlaceText(ElementHandle parent, ElementHandle reference, uint32_t flags,
                            bool emptyTag, bool noContent) const;
    void LinkElement(ElementHandle parent, ElementHandle after, ElementHandle handle);
    bool Removable(ElementHandle element, uint32_t flags) const;
    bool ClosesAsEmptyTag(ElementHandle parent) const;
    void MovePositionsOff(ElementHandle element);
    void UnlinkElement(ElementHandle element);
    void ReleaseSubtree(ElementHandle element);
    static int64_t NameLength(const char16_t* name);
    static int64_t PossibleElements(const char16_t* text, int32_t length);
    bool ExceedsRecordBounds(const char16_t* text, int32_t textLength, ElementHandle root) const;
    static bool ElementText(const char16_t* name, const char16_t* value, uint32_t flags,
                            CString& text, int32_t& startTag, int32_t& endTag);

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
    bool loadedUtf8 = false;
    ParseResult parseResult;
};

// Formats like swprintf with "%d" / "%s" only; the XML class's messages use nothing else.
CString FormatMessageText(const char16_t* format, ...);
// Decimal text of a signed 32-bit number, as "%d" writes it.
CString DecimalText(int32_t value);
