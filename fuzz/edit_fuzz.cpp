// Sequences of edits on any document. Input: the document text, a 0 byte, then operations
// (an operation byte, a selector byte, a flag byte and a counted text each). After every step
// the index keeps its invariants and no position names a removed element; while the document
// stays well-formed with plain tags (see PlainTags) and every edit was one that keeps it so
// (names from a valid set, never unended, subtrees with plain tags, every edit accepted but
// removals, which may be refused and must then change nothing), parsing its text afresh gives
// the same elements as the edited index.
#include "fuzz/fuzz_support.h"

namespace {

const char16_t* const kNames[] = {u"a",     u"item",   u"album",    u"x:y",
                                  u"n-1.2", u"\u540D", u"ElemCount"};

constexpr uint32_t kFlagBits[] = {EditCdata,          EditNoLineBreaks, EditSpacedEmptyTag,
                                  EditKeepReferences, EditUnended,      EditEscapeQuotes,
                                  EditInsertBefore,   EditAsChild};

uint32_t Flags(uint8_t byte) {
    uint32_t flags = 0;
    for (int i = 0; i < 8; ++i)
        if (byte & (1u << i)) flags |= kFlagBits[i];
    return flags;
}

// Puts the positions on an element chosen by `selector`, as navigation could leave them.
void Place(CXmlDocument& doc, const std::vector<ElementHandle>& order, uint8_t selector) {
    if (order.empty()) {
        doc.SetPosition(0, 0, 0);
        return;
    }
    const ElementHandle e = order[selector % order.size()];
    const ElementRecord& r = XmlInternals(doc).Record(e);
    switch ((selector / order.size()) % 3) {
        case 0:  // on the element
            doc.SetPosition(r.parent, e, 0);
            break;
        case 1:  // on the element, its first child remembered
            doc.SetPosition(r.parent, e, r.firstChild);
            break;
        default:  // inside the element, nothing chosen yet
            doc.SetPosition(e, 0, 0);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    CXmlDocument doc;
    doc.SetDocumentText(fuzz::Widen(in.UntilZero()));
    fuzz::CheckDocument(doc, "parse");
    bool clean = doc.IsWellFormed() && fuzz::PlainTags(doc);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.Byte();
        const uint8_t selector = in.Byte();
        uint32_t flags = Flags(in.Byte());
        const std::u16string text = fuzz::Widen(in.Counted());
        const std::vector<ElementHandle> order = fuzz::DocumentOrder(doc);
        const char16_t* name = kNames[selector % std::size(kNames)];
        bool done = true;
        bool keepsForm = true;  // the edit cannot, by its kind, spoil a well-formed document
        switch (op % 11) {
            case 0:
                Place(doc, order, selector);
                done = doc.AppendElement(name, text.c_str(), flags);
                keepsForm = !(flags & EditUnended);
                break;
            case 1:
                Place(doc, order, selector);
                done = doc.AppendElement(name, static_cast<int32_t>(selector) - 128, flags);
                keepsForm = !(flags & EditUnended);
                break;
            case 2:
                // A name from the input: anything may become of the markup.
                Place(doc, order, selector);
                done = doc.AppendElement(text.c_str(), u"v", flags);
                keepsForm = false;
                break;
            case 3:
                Place(doc, order, selector);
                done = doc.AppendSubtree(text.c_str(), flags);
                if (done) {
                    CXmlDocument piece;
                    keepsForm = piece.SetDocumentText(text) && fuzz::PlainTags(piece);
                }
                break;
            case 4:
                if (order.empty()) continue;
                done = doc.SetContent(order[selector % order.size()], text.c_str(), flags);
                // Refused (child elements) is fine and changes nothing.
                if (!done && XmlInternals(doc).Record(order[selector % order.size()]).firstChild)
                    done = true;
                break;
            case 5:
                if (order.empty()) continue;
                done = doc.SetContent(order[selector % order.size()],
                                      static_cast<int32_t>(selector) * 1000 - 5);
                if (!done && XmlInternals(doc).Record(order[selector % order.size()]).firstChild)
                    done = true;
                break;
            case 6:
                doc.FindElement(selector & 1 ? nullptr : name);
                break;
            case 7:
                doc.EnterElement();
                break;
            case 8:
                doc.LeaveElement();
                break;
            case 9: {
                if (order.empty()) continue;
                const uint32_t restore =
                    (flags & EditCdata ? uint32_t{EditRestoreEmptyTag} : 0u) |
                    (flags & EditUnended ? uint32_t{EditRestoreNoContent} : 0u);
                const std::u16string before(XmlInternals(doc).DocumentText().view());
                done = doc.RemoveElement(order[selector % order.size()], restore);
                // Refused: the root, an unended element inside, both flags; nothing changes.
                FUZZ_CHECK(done || XmlInternals(doc).DocumentText().view() == before,
                           "refused removal changed the text");
                const XmlInternals now(doc);
                for (ElementHandle h : {now.ParentHandle(), now.MainHandle(), now.ChildHandle()})
                    FUZZ_CHECK(now.Record(h).flags != ElemReleased,
                               "position on a removed element");
                done = true;
                break;
            }
            default:
                doc.ResetPosition();
                break;
        }
        fuzz::CheckDocument(doc, "edit");
        FUZZ_CHECK(XmlInternals(doc).Record(0).length == XmlInternals(doc).DocumentText().length(),
                   "document length");
        // An edit at the document level may add a second root: that ends the property.
        if (!done || !keepsForm || !doc.IsWellFormed()) clean = false;
        if (clean) {
            const std::string difference = doc.IndexDifference();
            FUZZ_CHECK(difference.empty(),
                       difference +
                           "\ntext: " + fuzz::Narrow(XmlInternals(doc).DocumentText().view()) +
                           "\nedit " + std::to_string(op % 10));
        }
    }
    return 0;
}
