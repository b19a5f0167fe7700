// Placement and splicing: what an insertion asks for and where it goes, shared by the single
// edits and the edit batch. Internal to the XML class.
#pragma once

#include <cstdint>

#include "xml/XmlDocument.h"

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
