// XmlInternals: the one way into a document's records, fields and internal steps, for the
// code that works at their level: xml/ itself, the tests, the fuzzers, the benchmarks and
// `brevlo-catalog index`. Everything else uses the public operations of XmlDocument.h.
//
// An XmlInternals object reads a document's state live (nothing is copied); the static members
// run the internal steps on a document.
#pragma once

#include <string>

#include "xml/XmlDocument.h"
#include "xml/internal/records.h"
#include "xml/internal/scanner.h"
#include "xml/internal/splice.h"

class XmlInternals {
  public:
    explicit XmlInternals(const CXmlDocument& doc) : doc_(doc) {}

    // ---- the fields ----
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

    // ---- the element index ----
    static ElementRecord& RecordAt(const CXmlDocument& doc, ElementHandle h) {
        return doc.RecordAt(h);
    }
    // Fills a record, as one taken with TakeRecord must be before LinkElement.
    static void SetRecord(CXmlDocument& doc, ElementHandle h, const ElementRecord& record) {
        doc.SetRecord(h, record);
    }
    // False only when memory ran out; the index is then as it was.
    static bool GrowIndex(CXmlDocument& doc, int32_t requested) { return doc.GrowIndex(requested); }
    // Handle of a fresh, uncleared record; 0 when the index cannot grow.
    static ElementHandle TakeRecord(CXmlDocument& doc) { return doc.TakeRecord(); }
    static ElementHandle ReleaseRecord(CXmlDocument& doc, ElementHandle h) {
        return doc.ReleaseRecord(h);
    }
    // Room for `needed` records; false, with the records in use untouched, when memory runs out.
    static bool ReserveRecords(CXmlDocument& doc, int64_t needed) {
        return doc.ReserveRecords(needed);
    }
    // One record as a line: "handle start length startTag endTag level flags parent
    // firstChild nextSibling prevSibling", the form the tools and the tests print.
    static std::string RecordLine(const CXmlDocument& doc, ElementHandle h) {
        return doc.RecordLine(h);
    }

    // ---- the parser and the scanner ----
    static bool ParseDocument(CXmlDocument& doc) { return doc.ParseDocument(); }
    static ElementHandle ParseElements(CXmlDocument& doc, ElementHandle parent,
                                       TokenCursor& cursor) {
        return doc.ParseElements(parent, cursor);
    }
    static int32_t ScanNode(TokenCursor& cursor, NodeToken& token) {
        return CXmlDocument::ScanNode(cursor, token);
    }
    static bool SkipWhitespace(const char16_t* text, int32_t& position) {
        return CXmlDocument::SkipWhitespace(text, position);
    }
    static bool NextToken(TokenCursor& cursor) { return CXmlDocument::NextToken(cursor); }
    static CString TokenText(const TokenCursor& cursor) { return CXmlDocument::TokenText(cursor); }
    static bool TokenMatches(const TokenCursor& cursor, const char16_t* name) {
        return CXmlDocument::TokenMatches(cursor, name);
    }
    static bool FindAttributeToken(const CXmlDocument& doc, TokenCursor& cursor,
                                   const char16_t* name) {
        return doc.FindAttributeToken(cursor, name);
    }

    // ---- splicing and index correction ----
    // Room for `capacity` characters, so that edits up to it splice in place; false when
    // memory runs out.
    static bool ReserveText(CXmlDocument& doc, int32_t capacity) {
        return doc.ReserveText(capacity);
    }
    static bool SpliceText(CXmlDocument& doc, int32_t index, int32_t removedLength,
                           const char16_t* replacement, int32_t replacementLength) {
        return doc.SpliceText(index, removedLength, replacement, replacementLength);
    }
    static void AdjustOffsets(CXmlDocument& doc, ElementHandle h, int32_t delta,
                              bool skipChildren) {
        doc.AdjustOffsets(h, delta, skipChildren);
    }
    static void AdjustAfterNodeEdit(CXmlDocument& doc, ElementHandle parent, ElementHandle h,
                                    int32_t delta) {
        doc.AdjustAfterNodeEdit(parent, h, delta);
    }
    static int32_t InsertText(CXmlDocument& doc, ElementHandle parent, ElementHandle& reference,
                              InsertRequest& request) {
        return doc.InsertText(parent, reference, request);
    }
    // emptyTag and noContent are InsertText's two facts about the parent.
    static TextPlacement PlaceText(const CXmlDocument& doc, ElementHandle parent,
                                   ElementHandle reference, uint32_t flags, bool emptyTag,
                                   bool noContent) {
        return doc.PlaceText(parent, reference, flags, emptyTag, noContent);
    }
    static void LinkElement(CXmlDocument& doc, ElementHandle parent, ElementHandle after,
                            ElementHandle h) {
        doc.LinkElement(parent, after, h);
    }

    // ---- rules the single edits and the edit batch share ----
    // Length of a well-formed element name, or -1.
    static int64_t NameLength(const char16_t* name) { return CXmlDocument::NameLength(name); }
    // Upper bound of the elements a text can hold.
    static int64_t PossibleElements(const char16_t* text, int32_t length) {
        return CXmlDocument::PossibleElements(text, length);
    }
    // After a parse with errors below `root`: whether one came from a record-field bound.
    static bool ExceedsRecordBounds(const CXmlDocument& doc, const char16_t* text,
                                    int32_t textLength, ElementHandle root) {
        return doc.ExceedsRecordBounds(text, textLength, root);
    }
    // The text of a new element as AppendElement writes it; false when the name, the bounds of
    // the record fields or the flags refuse it.
    static bool ElementText(const char16_t* name, const char16_t* value, uint32_t flags,
                            CString& text, int32_t& startTag, int32_t& endTag) {
        return CXmlDocument::ElementText(name, value, flags, text, startTag, endTag);
    }

  private:
    const CXmlDocument& doc_;
};
