// The merge of any two catalogs, as the worker runs it: the product's catalog, a 0 byte, then
// the pack's. Whatever the catalogs, the merge and counts leave the text, the records and
// the positions that the walk of the catalog rules (tests/support/merge_walk) leaves. When the
// worker would merge (the pack well-formed, the product of the catalog form), the worker's check
// before saving agrees with a fresh parse; and when it would save, every pack album and item is
// present by name, every count is right, and nothing of the product's catalog is gone (names
// compared where every tag is plain, see PlainTags).
#include "fuzz/fuzz_support.h"
#include "import/catalog_merge.h"
#include "import/run_import.h"
#include "platform/ascii_fold.h"
#include "support/merge_walk.h"

namespace {

struct Album {
    CString name;
    std::vector<CString> items;
};

std::vector<ElementHandle> Children(const CXmlDocument& doc, ElementHandle parent,
                                    const char16_t* name) {
    std::vector<ElementHandle> out;
    for (ElementHandle h = doc.FindNamedElement(parent, 0, name); h;
         h = doc.FindNamedElement(parent, h, name))
        out.push_back(h);
    return out;
}

// The albums the merge walks in the pack, found by the same moves it makes.
std::vector<Album> PackAlbums(CXmlDocument& pack) {
    pack.FindElement(u"mirvo");
    pack.EnterElement();
    pack.FindElement(u"albums");
    pack.EnterElement();
    std::vector<Album> albums;
    while (pack.FindElement(u"album")) {
        Album album{pack.GetAttribute(u"name"), {}};
        for (ElementHandle item : Children(pack, XmlInternals(pack).MainHandle(), u"item"))
            album.items.push_back(fuzz::AttributeOf(pack, item, u"name"));
        albums.push_back(std::move(album));
    }
    return albums;
}

ElementHandle FirstAlbums(const CXmlDocument& doc) {
    const ElementHandle root = doc.FindNamedElement(0, 0, u"mirvo");
    return root ? doc.FindNamedElement(root, 0, u"albums") : 0;
}

std::vector<Album> CatalogAlbums(CXmlDocument& doc, ElementHandle albums) {
    std::vector<Album> out;
    for (ElementHandle a : Children(doc, albums, u"album")) {
        Album album{fuzz::AttributeOf(doc, a, u"name"), {}};
        for (ElementHandle item : Children(doc, a, u"item"))
            album.items.push_back(fuzz::AttributeOf(doc, item, u"name"));
        out.push_back(std::move(album));
    }
    return out;
}

const Album* FindByName(const std::vector<Album>& albums, const CString& name) {
    for (const Album& a : albums)
        if (platform::CompareNoCase(a.name.c_str(), name.c_str()) == 0) return &a;
    return nullptr;
}

bool HasItem(const Album& album, const CString& name) {
    for (const CString& item : album.items)
        if (platform::CompareNoCase(item.c_str(), name.c_str()) == 0) return true;
    return false;
}

// Text, positions and every record in use; a released record only as a link of its list.
std::string State(const CXmlDocument& doc) {
    const XmlInternals in(doc);
    std::string out = fuzz::Narrow(in.DocumentText().view());
    out += "\n" + std::to_string(in.ParentHandle()) + " " + std::to_string(in.MainHandle()) + " " +
           std::to_string(in.ChildHandle()) + " " + std::to_string(in.NodeType()) + " " +
           std::to_string(in.ReleasedHead()) + " " + std::to_string(in.NextRecord()) + "\n";
    for (ElementHandle h = 0; h < static_cast<ElementHandle>(in.NextRecord()); ++h) {
        const ElementRecord& r = in.Record(h);
        if (r.flags == ElemReleased) {
            out += "released " + std::to_string(r.nextSibling) + "\n";
            continue;
        }
        for (uint32_t word :
             {static_cast<uint32_t>(r.start), static_cast<uint32_t>(r.length), r.tagLengths,
              r.flags, r.parent, r.firstChild, r.nextSibling, r.prevSibling})
            out += std::to_string(word) + " ";
        out += "\n";
    }
    return out;
}

std::vector<CString> ElementNames(const CXmlDocument& doc) {
    std::vector<CString> out;
    for (ElementHandle h : fuzz::DocumentOrder(doc)) out.push_back(doc.GetElementName(h));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const std::u16string productText = fuzz::Widen(in.UntilZero());
    const std::u16string packText = fuzz::Widen(in.UntilZero());
    CXmlDocument target;
    CXmlDocument source;
    if (!source.SetDocumentText(packText)) return 0;
    target.SetDocumentText(productText);
    if (!HasCatalogForm(target)) return 0;

    const bool plain = fuzz::PlainTags(source) && fuzz::PlainTags(target);
    CXmlDocument packCopy;
    packCopy.SetDocumentText(packText);
    const std::vector<Album> pack = PackAlbums(packCopy);
    const std::vector<Album> before = CatalogAlbums(target, FirstAlbums(target));
    const std::vector<CString> namesBefore = ElementNames(target);

    CXmlDocument walkSource;
    CXmlDocument walkTarget;
    walkSource.SetDocumentText(packText);
    walkTarget.SetDocumentText(productText);
    MergeCatalogWalk(walkSource, walkTarget);
    MergeLog log;  // as the import merges
    FUZZ_CHECK(MergeCatalog(source, target, &log), "the merge failed");
    FUZZ_CHECK(State(target) == State(walkTarget), "the merge differs from the walk");
    FUZZ_CHECK(State(source) == State(walkSource), "the merge walked the pack otherwise");
    fuzz::CheckDocument(target, "merge");
    UpdateItemCountsWalk(walkTarget);
    FUZZ_CHECK(UpdateItemCounts(target, &log), "the counts failed");
    FUZZ_CHECK(State(target) == State(walkTarget), "the counts differ from the walk");
    fuzz::CheckDocument(target, "counts");
    fuzz::CheckDocument(source, "merge (pack)");
    FUZZ_CHECK(XmlInternals(source).DocumentText().view() == packText,
               "the pack's catalog changed");

    // The worker's check before saving agrees with this one. In catalogs of plain tags the
    // result is always sound; elsewhere an edit next to a tag such as "<ElemCount</>" can
    // leave text that reads otherwise, which the worker then refuses to save.
    const std::string difference = target.IndexDifference();
    const bool sound = target.IsWellFormed() && difference.empty();
    FUZZ_CHECK(IndexMatchesText(target) == sound, "the worker's check disagrees: " + difference);
    if (plain) FUZZ_CHECK(sound, "merged catalog unsound: " + difference);
    if (!sound) return 0;

    // Names are compared only in catalogs of plain tags: an unquoted value such as name=x/
    // reads as "x" once its empty element is opened to take a count, as the rules say.
    if (plain) {
        const std::vector<Album> after = CatalogAlbums(target, FirstAlbums(target));
        for (const Album& album : pack) {
            const Album* merged = FindByName(after, album.name);
            FUZZ_CHECK(merged, "pack album missing: " + fuzz::Narrow(album.name));
            for (const CString& item : album.items)
                FUZZ_CHECK(HasItem(*merged, item), "pack item missing: " + fuzz::Narrow(item));
        }
        // Nothing removed: every album keeps its items (albums are only added after the last
        // one, so the old ones are found in order), and the element names of the product's
        // catalog, in document order, are still there in that order.
        size_t next = 0;
        for (const Album& album : before) {
            while (next < after.size() && after[next].name != album.name) ++next;
            FUZZ_CHECK(next < after.size(), "product album lost: " + fuzz::Narrow(album.name));
            for (const CString& item : album.items)
                FUZZ_CHECK(HasItem(after[next], item), "item lost: " + fuzz::Narrow(item));
            ++next;
        }
        const std::vector<CString> namesAfter = ElementNames(target);
        size_t matched = 0;
        for (const CString& name : namesAfter)
            if (matched < namesBefore.size() && name == namesBefore[matched]) ++matched;
        FUZZ_CHECK(matched == namesBefore.size(), "product elements lost or reordered");
    }

    // The counts: of the albums under the "albums" element the count walk reaches (a second
    // one under the root, when there is one).
    const ElementHandle root = target.FindNamedElement(0, 0, u"mirvo");
    const ElementHandle first = FirstAlbums(target);
    const ElementHandle second = target.FindNamedElement(root, first, u"albums");
    const ElementHandle counted = second ? second : first;
    for (ElementHandle a : Children(target, counted, u"album")) {
        const ElementHandle count = target.FindNamedElement(a, 0, u"ElemCount");
        FUZZ_CHECK(count, "album without ElemCount");
        const ElementRecord& r = XmlInternals(target).Record(count);
        if (r.firstChild) continue;  // refused by SetContent, as it must be
        const std::u16string_view content = XmlInternals(target).DocumentText().view().substr(
            static_cast<size_t>(r.start + r.StartTagLength()),
            static_cast<size_t>(r.length - r.StartTagLength() - r.EndTagLength()));
        const size_t items = Children(target, a, u"item").size();
        const std::u16string expected = fuzz::Widen(std::to_string(items));
        FUZZ_CHECK(content == expected,
                   "ElemCount " + fuzz::Narrow(content) + ", items " + std::to_string(items));
    }
    return 0;
}
