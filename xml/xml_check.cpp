// The check of an index against its text: a fresh parse of the text must give the same
// elements, in document order, as the index. The import makes it before an edited catalog may
// replace the product's; the tests make it after every edit.
#include <cstdio>
#include <string>
#include <vector>

#include "xml/internal/XmlInternals.h"

namespace {

// The elements in document order, following the links; false when a link leaves the records
// in use or the walk would not end.
bool Order(const CXmlDocument& doc, std::vector<ElementHandle>& out) {
    const XmlInternals in(doc);
    const auto inUse = [&](ElementHandle h) {
        return h < static_cast<ElementHandle>(in.NextRecord()) &&
               !(in.Record(h).flags & ElemReleased);
    };
    ElementHandle h = in.Record(0).firstChild;
    int64_t steps = 2 * static_cast<int64_t>(in.NextRecord()) + 2;
    while (h) {
        if (--steps < 0 || !inUse(h)) return false;
        out.push_back(h);
        const ElementRecord& r = in.Record(h);
        if (r.firstChild) {
            h = r.firstChild;
            continue;
        }
        while (h && !in.Record(h).nextSibling) {
            if (--steps < 0) return false;
            h = in.Record(h).parent;
            if (!inUse(h)) return false;
        }
        if (h) h = in.Record(h).nextSibling;
    }
    return true;
}

}  // namespace

std::string CXmlDocument::IndexDifference() const {
    if (elementIndex.recordCapacity == 0) return "no index";
    if (RecordAt(0).length != documentText.length())
        return "document record length " + std::to_string(RecordAt(0).length) + ", text " +
               std::to_string(documentText.length());
    CXmlDocument fresh;
    if (!fresh.SetDocumentText(documentText.view())) return "the text does not parse well";
    std::vector<ElementHandle> a, b;
    if (!Order(*this, a)) return "links leave the records in use";
    Order(fresh, b);
    if (a.size() != b.size())
        return std::to_string(a.size()) + " elements, fresh parse " + std::to_string(b.size());
    // Handle -> place in document order, so that links compare across the two indexes.
    std::vector<int64_t> orderA(static_cast<size_t>(nextRecord), -2);
    std::vector<int64_t> orderB(static_cast<size_t>(fresh.nextRecord), -2);
    orderA[0] = orderB[0] = -1;
    for (size_t i = 0; i < a.size(); ++i) orderA[a[i]] = orderB[b[i]] = static_cast<int64_t>(i);
    const auto place = [](const std::vector<int64_t>& order, ElementHandle h) {
        return h < order.size() ? order[h] : -3;
    };
    const uint32_t kept = ElemLevelMask | ElemFirstChild | ElemUnended;
    for (size_t i = 0; i < a.size(); ++i) {
        const ElementRecord& x = RecordAt(a[i]);
        const ElementRecord& y = fresh.RecordAt(b[i]);
        if (x.start != y.start || x.length != y.length || x.tagLengths != y.tagLengths ||
            (x.flags & kept) != (y.flags & kept) ||
            place(orderA, x.parent) != place(orderB, y.parent) ||
            place(orderA, x.firstChild) != place(orderB, y.firstChild) ||
            place(orderA, x.nextSibling) != place(orderB, y.nextSibling) ||
            place(orderA, x.prevSibling) != place(orderB, y.prevSibling))
            return "element " + std::to_string(i) + ": edited " + RecordLine(a[i]) + ", fresh " +
                   fresh.RecordLine(b[i]);
    }
    return {};
}

std::string CXmlDocument::RecordLine(ElementHandle h) const {
    const ElementRecord& r = RecordAt(h);
    char line[160];
    std::snprintf(line, sizeof line, "%u %d %d %d %d %u 0x%x %u %u %u %u", h, r.start, r.length,
                  r.StartTagLength(), r.EndTagLength(), r.Level(), r.flags & ~ElemLevelMask,
                  r.parent, r.firstChild, r.nextSibling, r.prevSibling);
    return line;
}
