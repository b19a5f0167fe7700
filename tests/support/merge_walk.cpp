#include "support/merge_walk.h"

#include "xml/XmlDocument.h"

namespace {

// The runtime's _wcsicmp: only A-Z and a-z fold.
bool SameName(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        char16_t x = *a, y = *b;
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
        if (!x) return true;
    }
}

// Moves the target's main position to the first child of `element` whose "name" equals
// `name`; on no match the main position stays on the last such element (or none).
bool FindByName(CXmlDocument& target, const char16_t* element, const CString& name) {
    target.ResetPosition();
    while (target.FindElement(element)) {
        if (SameName(target.GetAttribute(u"name").c_str(), name.c_str())) return true;
    }
    return false;
}

}  // namespace

void MergeCatalogWalk(CXmlDocument& source, CXmlDocument& target) {
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

void UpdateItemCountsWalk(CXmlDocument& target) {
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
            target.SetContent(target.MainHandle(), count);
        else
            target.AppendElement(u"ElemCount", count, 0);
        target.LeaveElement();
    }
    target.LeaveElement();
    target.LeaveElement();
}
