// The parser on any text: the index keeps every structural invariant, the verdict agrees with
// IsWellFormed, and parsing again into the same document (reusing its index) gives the same
// records.
#include "fuzz/fuzz_support.h"
#include "support/xml_checker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text =
        fuzz::Widen(std::string_view(reinterpret_cast<const char*>(data), size));
    for (uint32_t flags : {0u, uint32_t{DocIgnoreCase}}) {
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.SetIgnoreCase(flags & DocIgnoreCase);
        const bool wellFormed = doc.SetDocumentText(text);
        FUZZ_CHECK(wellFormed == doc.IsWellFormed(), fuzz::Narrow(in.ResultText()));
        FUZZ_CHECK(wellFormed || !in.ResultText().empty(), "ill-formed without a message");
        fuzz::CheckDocument(doc, "parse");
        const std::string first = DumpRecords(doc);
        const CString message = in.ResultText();
        FUZZ_CHECK(doc.SetDocumentText(text) == wellFormed, "second parse, other verdict");
        fuzz::CheckDocument(doc, "second parse");
        FUZZ_CHECK(DumpRecords(doc) == first, "second parse, other records");
        FUZZ_CHECK(in.ResultText() == message, "second parse, other message");
    }
    return 0;
}
