// Shared helpers of the fuzz targets: input decoding, a failure that stops the run with a
// message, and the document checks that every target applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// Prints the message and aborts, so that the fuzzer (or the replay) reports the input.
[[noreturn]] void Fail(const std::string& what);

#define FUZZ_CHECK(condition, message)                                            \
    do {                                                                          \
        if (!(condition)) ::fuzz::Fail(std::string(#condition ": ") + (message)); \
    } while (0)

// Bytes read as UTF-8 without validation, so that any byte sequence (lone surrogates and
// overlong forms included) reaches the document as some UTF-16 text.
std::u16string Widen(std::string_view bytes);
std::string Narrow(std::u16string_view text);

// Reads an input piece by piece; past the end every read gives zeros or empty text.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to the next 0 byte (consumed) or the end.
    std::string_view UntilZero();
    // A length byte, then that many bytes.
    std::string_view Counted();

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The structural invariants of the element index (tests/support/xml_checker); empty when
// they hold, else what is wrong.
std::string StructureError(const CXmlDocument& doc);

// Elements in document order, and the comparison with a fresh parse (tests/support).
using ::DocumentOrder;

// True when every start tag is "<" name, attributes of the form name="value" or name='value'
// (no "<" in a value), optional whitespace and ">" or "/>", and every end tag is "</" the
// same name, optional whitespace and ">". The parser takes more than this; only such
// documents are expected to read the same after an edit next to their tags.
bool PlainTags(const CXmlDocument& doc);

// The decoded attribute of any element: the reads act only while the cursor stands on an
// element, so the positions are moved there and put back.
CString AttributeOf(CXmlDocument& doc, ElementHandle handle, const char16_t* name);

// The structure check with the record dump of the document on failure.
void CheckDocument(const CXmlDocument& doc, const char* after);

}  // namespace fuzz
