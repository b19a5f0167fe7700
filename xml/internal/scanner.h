// The scanner's tokens: the node lexer's result and the cursor the small token scans inside
// start tags share, and the parse's messages. Internal to the XML class.
#pragma once

#include <cstdint>
#include <string_view>

#include "xml/XmlDocument.h"

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
    // A malformed node's error, from which `name` is built.
    ParseStatus error = ParseStatus::Ok;
    int32_t errorOffset = -1;
};

// A parse error's message as resultText holds it: the status's text with its offset, and for
// the statuses that name elements, `name` (and of a mismatch, the start tag's name and offset).
CString ParseErrorText(ParseStatus status, int32_t offset, std::u16string_view name = {},
                       std::u16string_view startName = {}, int32_t startOffset = 0);
