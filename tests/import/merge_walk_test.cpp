// The merge and counts against the walk of the catalog rules, on seeded random catalogs full
// of the cases where the walk's placement and comparison rules matter: the same text byte for
// byte, the same element records word for word, the same positions.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "import/catalog_merge.h"
#include "support/merge_walk.h"
#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

namespace {

// Names that match, miss, differ only in case, decode to the same text, or stop early at a
// decoded NUL (where the runtime's comparison stops).
const char16_t* const kNames[] = {
    u"a",          u"A",       u"Summer",  u"sUMMER",     u"\u590f\u65e5", u"\u00c9",
    u"\u00e9",     u"a&amp;b", u"A&#38;B", u"x&#65;",     u"xA",           u"&lt;q&gt;",
    u"z&#65536;q", u"z",       u"",        u"&#x41;&#0;", u"a b",          u"1",
};

const char16_t* const kSpace[] = {u"", u"\r\n", u"\n", u"\t\t", u" ", u"\r\n\t\t", u"  \r\n "};
// Between elements: whitespace, markup that is not an element, or text.
const char16_t* const kFiller[] = {u"<!-- c -->", u"<?pi x?>", u"txt", u" x\r\n", u"\r\n\t"};

class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    std::u16string Catalog(bool pack) {
        std::u16string s = Pick(3) ? u"<?xml version=\"1.0\"?>\r\n" : u"";
        // Now and then a pack of another form, whose albums the walk finds one level higher.
        if (pack && Chance(12)) {
            switch (Pick(4)) {
                case 0:
                    return s + u"<mirvo>" + AlbumRun(pack) + Gap() + u"</mirvo>";
                case 1:
                    return s + Albums(pack) + Space();
                case 2:
                    return s + Album() + Space();
                default:
                    return s + u"<catalog>" + Albums(pack) + u"</catalog>";
            }
        }
        s += u"<mirvo>" + Gap();
        s += Albums(pack);
        if (Chance(15)) s += Gap() + Albums(pack);  // the counts then use the second one
        s += Gap() + u"</mirvo>" + Space();
        return s;
    }

    bool Chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }

  private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

    std::u16string Space() { return kSpace[Pick(7)]; }
    std::u16string Gap() {
        std::u16string s = Space();
        if (Chance(15)) s += std::u16string(kFiller[Pick(5)]) + Space();
        return s;
    }

    std::u16string Albums(bool pack) {
        const char16_t* tag = Chance(4) ? u"Albums" : u"albums";  // found only ignoring case
        std::u16string run = AlbumRun(pack);
        if (run.empty() && Chance(40)) return u"<" + std::u16string(tag) + u"/>";
        return u"<" + std::u16string(tag) + u">" + run + Gap() + u"</" + tag + u">";
    }

    std::u16string AlbumRun(bool pack) {
        const int count = Pick(pack ? 6 : 8);
        std::u16string s;
        for (int i = 0; i < count; ++i) {
            s += Gap();
            s += Chance(8) ? u"<cover/>" : Album();
        }
        return s;
    }

    std::u16string Attributes() {
        std::u16string s;
        if (Chance(20)) s += Space() + u" type=\"2\"";
        if (!Chance(10)) {
            const char16_t quote = Chance(70) ? u'"' : u'\'';
            s += u" " + Space() + u"name" + Space() + u"=" + Space() + quote + kNames[Pick(18)] +
                 quote;
        }
        if (Chance(20)) s += u" cover='c.png'" + Space();
        // Now and then, tags whose name the attribute scan reads past or reads otherwise once
        // the tag is opened up.
        if (Chance(2)) s += u" x 'y z=\"1\"";
        if (Chance(2)) s += u" name= z=\"1\"";
        return s;
    }

    std::u16string Album() {
        const char16_t* tag = Chance(3) ? u"Album" : u"album";
        const std::u16string open = u"<" + std::u16string(tag) + Attributes();
        switch (Pick(8)) {
            case 0:
                return open + u"/>";
            case 1:
                return open + u" />";
            case 2:
                return open + u"></" + tag + u">";
            default:
                break;
        }
        std::u16string s = open + u">";
        const int children = Pick(6);
        bool counted = false;
        for (int i = 0; i < children; ++i) {
            s += Gap();
            const int kind = Pick(10);
            if (kind < 7) {
                s += Item();
            } else if (kind < 9 || counted) {
                s += Count();
                counted = true;
            } else {
                s += u"<note>n</note>";
            }
        }
        if (Chance(30)) s += Gap() + Count();
        s += Gap() + u"</" + tag + u">";
        return s;
    }

    std::u16string Item() {
        const std::u16string open = u"<item" + Attributes();
        switch (Pick(4)) {
            case 0:
                return open + u">x</item>";
            case 1:
                return open + u"><sub/></item>";
            default:
                return open + u"/>";
        }
    }

    std::u16string Count() {
        const char16_t* const forms[] = {
            u"<ElemCount>5</ElemCount>",
            u"<ElemCount/>",
            u"<ElemCount />",
            u"<ElemCount></ElemCount>",
            u"<ElemCount><b/></ElemCount>",
            u"<ElemCount>0<!--c--></ElemCount>",
        };
        return forms[Pick(6)];
    }

    std::mt19937 rng_;
};

// Everything a caller can see of a document after the import, compared field by field.
void ExpectSameDocument(const CXmlDocument& walk, const CXmlDocument& merged) {
    const XmlInternals w(walk), m(merged);
    ASSERT_EQ(Narrow(w.DocumentText().view()), Narrow(m.DocumentText().view()));
    EXPECT_EQ(w.ResultText(), m.ResultText());
    EXPECT_EQ(w.ParentHandle(), m.ParentHandle());
    EXPECT_EQ(w.MainHandle(), m.MainHandle());
    EXPECT_EQ(w.ChildHandle(), m.ChildHandle());
    EXPECT_EQ(w.NodeType(), m.NodeType());
    EXPECT_EQ(w.NodeOffset(), m.NodeOffset());
    EXPECT_EQ(w.NodeLength(), m.NodeLength());
    ASSERT_EQ(w.NextRecord(), m.NextRecord());
    EXPECT_EQ(w.ReleasedHead(), m.ReleasedHead());
    for (ElementHandle h = 0; h < static_cast<ElementHandle>(w.NextRecord()); ++h) {
        const ElementRecord& a = w.Record(h);
        const ElementRecord& b = m.Record(h);
        // A released record is only a link of the released list; its other words are left
        // from its use and mean nothing.
        if (a.flags == ElemReleased) {
            EXPECT_EQ(b.flags, ElemReleased) << h;
            EXPECT_EQ(a.nextSibling, b.nextSibling) << h;
            continue;
        }
        EXPECT_EQ(DumpRecord(walk, h), DumpRecord(merged, h));
    }
}

void Compare(const std::u16string& product, const std::u16string& pack, uint32_t flags) {
    CXmlDocument walkSource, walkTarget, source, target;
    for (CXmlDocument* d : {&walkSource, &walkTarget, &source, &target})
        d->SetIgnoreCase(flags & DocIgnoreCase);
    walkSource.SetDocumentText(pack);
    source.SetDocumentText(pack);
    walkTarget.SetDocumentText(product);
    target.SetDocumentText(product);

    // With the receipt's log, as the import merges: it reads, and changes nothing.
    MergeLog log;
    MergeCatalogWalk(walkSource, walkTarget);
    EXPECT_TRUE(MergeCatalog(source, target, &log));
    {
        SCOPED_TRACE("after the merge");
        ExpectSameDocument(walkTarget, target);
        ExpectSameDocument(walkSource, source);
        EXPECT_TRUE(CheckStructure(target));
    }
    UpdateItemCountsWalk(walkTarget);
    EXPECT_TRUE(UpdateItemCounts(target, &log));
    {
        SCOPED_TRACE("after the counts");
        ExpectSameDocument(walkTarget, target);
        EXPECT_TRUE(CheckStructure(target));
    }
    Receipt receipt;
    NoteChanges(log, target, receipt);
    for (const Receipt::Change& c : receipt.changes)
        EXPECT_NE(target.DocumentText().view().find(c.text), std::u16string_view::npos);
}

TEST(MergeWalk, SameAsTheWalkOnRandomCatalogs) {
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        Generator gen(seed);
        const std::u16string product = gen.Catalog(false);
        const std::u16string pack = gen.Catalog(true);
        const uint32_t flags = gen.Chance(10) ? DocIgnoreCase : 0;
        SCOPED_TRACE("seed " + std::to_string(seed) + "\nproduct: " + Narrow(product) +
                     "\npack: " + Narrow(pack));
        Compare(product, pack, flags);
        if (HasFatalFailure() || HasFailure()) return;
    }
}

// Merges where one pack album meets many product albums and items, so that the batch holds
// many additions in one place and added albums receive items again.
TEST(MergeWalk, SameAsTheWalkOnLargerCatalogs) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        auto name = [&](int pool) {
            return u"n" + std::u16string(1, static_cast<char16_t>(u'a' + rng() % pool));
        };
        auto catalog = [&](int albums, int items) {
            std::u16string s = u"<mirvo>\r\n\t<albums>\r\n";
            for (int a = 0; a < albums; ++a) {
                s += u"\t\t<album name=\"" + name(12) + u"\">\r\n";
                for (int i = 0; i < items; ++i)
                    s += u"\t\t\t<item name=\"" + name(20) + u"\"/>\r\n";
                if (rng() % 2) s += u"\t\t\t<ElemCount>3</ElemCount>\r\n";
                s += u"\t\t</album>\r\n";
            }
            return s + u"\t</albums>\r\n</mirvo>\r\n";
        };
        SCOPED_TRACE("seed " + std::to_string(seed));
        Compare(catalog(8, 6), catalog(30, 10), 0);
        if (HasFailure()) return;
    }
}

// Catalogs off the documented form, and names that read differently as the text around them
// changes: still the walk's result.
TEST(MergeWalk, SameAsTheWalkOnOtherCatalogs) {
    const std::u16string good = u"<mirvo><albums><album name='a'/></albums></mirvo>";
    struct Case {
        const char* what;
        std::u16string product, pack;
    };
    const Case cases[] = {
        {"product not well-formed", u"<mirvo><albums>", good},
        {"pack not well-formed", good, u"<mirvo><albums><album>"},
        {"pack without albums", good, u"<mirvo><album name='b'/></mirvo>"},
        {"pack without mirvo", good,
         u"<albums><album name='a'><item name='i'/></album><album name='b'/></albums>"},
        {"pack of one album", good, u"<album name='A'><item name='j'/></album>"},
        {"a name read past its tag", u"<mirvo><albums><album x 'y name='a'/></albums></mirvo>",
         good},
        {"a name that reads otherwise once opened",
         u"<mirvo><albums><album name=a/></albums></mirvo>",
         u"<mirvo><albums><album name='a/'><item name='i'/></album><album name=a/>"
         u"<album name='a'><item name='j'/></album></albums></mirvo>"},
        {"one new album listed twice", good,
         u"<mirvo><albums><album name='n'><item name='1'/></album>"
         u"<album name='N'><item name='2'/><item name='1'/></album></albums></mirvo>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Compare(c.product, c.pack, 0);
    }
}

}  // namespace
