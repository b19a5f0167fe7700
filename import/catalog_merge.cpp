// The catalog merge and item counts as a plain walk: every pack album is compared with the
// product's albums from the first, and every addition is spliced in at once. The fast form in
// catalog_merge_fast.cpp gives the same result and is what the import runs.
#include "import/catalog_merge.h"
#include "import/import.h"
#include "xml/XmlDocument.h"

int CompareNoCase(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        char16_t x = *a, y = *b;
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
    }
}

bool HasCatalogForm(const CXmlDocument& catalog) {
    if (!catalog.IsWellFormed()) return false;
    const ElementHandle root = catalog.RecordAt(0).firstChild;
    if (root != catalog.FindNamedElement(0, 0, u"mirvo")) return false;
    return catalog.FindNamedElement(root, 0, u"albums") != 0;
}

namespace {

// Moves the target's main position to the first child of `element` whose "name" equals
// `name`; on no match the main position stays on the last such element (or none).
bool FindByName(CXmlDocument& target, const char16_t* element, const CString& name) {
    target.ResetPosition();
    while (target.FindElement(element)) {
        if (CompareNoCase(target.GetAttribute(u"name").c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

}  // namespace

void MergeCatalogPlain(CXmlDocument& source, CXmlDocument& target) {
    source.FindElement(u"mirvo");
    target.FindElement(u"mirvo");
    source.EnterElement();
    target.EnterElement();
    source.FindElement(u"albums");
    target.FindElement(u"albums");
    source.EnterElement();
    target.EnterElement();

    while (source.FindElement(u"album")) {
        const CString album = source.GetAttribute(u"name");
        if (!FindByName(target, u"album", album)) {
            target.AppendSubtree(source.GetSubtreeText().c_str(), 0);
            continue;
        }
        target.EnterElement();
        source.EnterElement();
        while (source.FindElement(u"item")) {
            const CString item = source.GetAttribute(u"name");
            if (!FindByName(target, u"item", item))
                target.AppendSubtree(source.GetSubtreeText().c_str(), 0);
        }
        source.LeaveElement();
        target.LeaveElement();
    }

    source.LeaveElement();
    target.LeaveElement();
    source.LeaveElement();
    target.LeaveElement();
}

void UpdateItemCountsPlain(CXmlDocument& target) {
    target.FindElement(u"mirvo");
    target.EnterElement();
    target.FindElement(u"albums");
    target.EnterElement();
    while (target.FindElement(u"album")) {
        target.EnterElement();
        int32_t count = 0;
        while (target.FindElement(u"item")) ++count;
        target.ResetPosition();
        if (target.FindElement(u"ElemCount"))
            target.SetContent(target.mainHandle, count);
        else
            target.AppendElement(u"ElemCount", count, 0);
        target.LeaveElement();
    }
    target.LeaveElement();
    target.LeaveElement();
}
