// Load and save through the platform's files, with the ANSI code page 936 (the tests run with
// LC_ALL=zh_CN.UTF-8 in both builds) and with injected faults at every step of a save.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog_gen.h"
#include "platform/platform.h"
#include "support/platform_temp.h"
#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"
#include "xml/internal/utf8_text.h"

#ifndef BREVLO_SOAK
#define BREVLO_SOAK 0
#endif

namespace {

using platform_test::Exists;
using platform_test::ReadBytes;
using platform_test::TempFolder;
using platform_test::WriteBytes;

// "<mirvo><album name="夏日"/></mirvo>" with CRLF, in code page 936.
const std::string kCatalog936 = "<mirvo>\r\n\t<album name=\"\xcf\xc4\xc8\xd5\"/>\r\n</mirvo>\r\n";

bool OneLine(const CString& text) {
    return !text.empty() && text.find(u'\r') == CString::npos && text.find(u'\n') == CString::npos;
}

size_t FilesIn(const CString& folder) {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(platform_test::HostOf(folder))) {
        (void)e;
        ++n;
    }
    return n;
}

TEST(File, RunsUnderCodePage936) {
    EXPECT_EQ(platform::AnsiCodePage(), 936u);
}

TEST(File, LoadNotesAndResults) {
    TempFolder dir;
    struct Load {
        const char* what;
        std::string bytes;
        bool result;
        const char16_t* resultText;
    };
    const Load loads[] = {
        {"well-formed", kCatalog936, true, u"42 bytes to 40 wide chars"},
        {"empty", "", false, u"0 bytes to 0 wide chars, Empty document"},
        {"ill-formed", "<a>", false, u"3 bytes to 3 wide chars, Element 'a' at offset 0 not ended"},
        // In 936 the mark's last byte leads a pair whose second byte is invalid: both become
        // one "?", as Windows converts them, so a line break after the mark is taken too.
        {"byte-order mark kept as text", "\xef\xbb\xbf\n<a/>", true, u"8 bytes to 6 wide chars"},
    };
    for (const Load& l : loads) {
        SCOPED_TRACE(l.what);
        const CString path = dir / u"c.xml";
        WriteBytes(path, l.bytes);
        CXmlDocument doc;
        const XmlInternals in(doc);
        EXPECT_EQ(doc.LoadFile(path.c_str()), l.result);
        EXPECT_EQ(Narrow(in.ResultText()), Narrow(l.resultText));
        EXPECT_TRUE(CheckStructure(doc));
    }
    CXmlDocument doc;
    const XmlInternals in(doc);
    WriteBytes(dir / u"c.xml", kCatalog936);
    ASSERT_TRUE(doc.LoadFile((dir / u"c.xml").c_str()));
    ASSERT_TRUE(doc.FindElement(u"mirvo") && doc.EnterElement() && doc.FindElement(u"album"));
    EXPECT_EQ(doc.GetAttribute(u"name"), u"\u590f\u65e5");
    EXPECT_EQ(in.DocumentText().view().substr(0, 9), u"<mirvo>\r\n");
    WriteBytes(dir / u"bom.xml", "\xef\xbb\xbf\n<a/>");
    ASSERT_TRUE(doc.LoadFile((dir / u"bom.xml").c_str()));
    // The mark's bytes stand before the element as text.
    EXPECT_EQ(in.Record(1).start, 2);
}

// The text of a load is the whole file converted at once, block boundaries or not; the load is
// exact only when the bytes come back from that text.
TEST(File, LoadsInBlocksAndTellsWhetherExact) {
    TempFolder dir;
    const std::string pair = "\xcf\xc4";  // one character, two bytes
    const std::string straddling = std::string((1 << 20) - 1, 'x') + pair + "y";
    struct Case {
        const char* what;
        std::string bytes;
        bool exact;
    };
    const Case cases[] = {
        {"catalog", kCatalog936, true},
        {"empty", "", true},
        {"a character across the block boundary", "<a>" + straddling + "</a>", true},
        {"byte-order mark", "\xef\xbb\xbf<a/>", false},
        {"UTF-16 mark", "\xff\xfe<a/>", false},
        {"a lead byte at the end", "<a/>\x81", false},
        {"a lead byte before a NUL", std::string("<a/>\x81\0", 6), false},
        {"an invalid pair", "<a>\x81\x7f</a>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CString path = dir / u"c.xml";
        WriteBytes(path, c.bytes);
        CXmlDocument doc;
        const XmlInternals in(doc);
        doc.LoadFile(path.c_str());
        EXPECT_EQ(doc.LoadedExactly(), c.exact);
        TextBuffer whole;
        ASSERT_TRUE(platform::AnsiToWide(c.bytes.data(), c.bytes.size(), whole));
        EXPECT_TRUE(in.DocumentText().view() == whole.view());
        if (c.exact) {
            ASSERT_TRUE(doc.SaveFile((dir / u"out.xml").c_str())) << Narrow(in.ResultText());
            EXPECT_TRUE(ReadBytes(dir / u"out.xml") == c.bytes);
        }
    }
    CXmlDocument doc;
    const XmlInternals in(doc);
    EXPECT_FALSE(doc.LoadFile((dir / u"missing.xml").c_str()));
    EXPECT_FALSE(doc.LoadedExactly());
    doc.SetDocumentText(u"<a/>");
    EXPECT_TRUE(doc.LoadedExactly());
}

// The UTF-8 rule both ways: no text of GB2312 characters, alone or in pairs, reads as UTF-8,
// while catalogs kept in UTF-8 do, in code page 936 and in 1252, whatever their declaration.
TEST(File, TellsUtf8TextFromTheCodePage) {
    // The characters of the GB2312 rows of code page 936 (7,445, and the few GBK adds there).
    std::vector<std::string> gb2312;
    for (int lead = 0xA1; lead <= 0xF7; ++lead) {
        for (int trail = 0xA1; trail <= 0xFE; ++trail) {
            const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
            TextBuffer c;
            std::string back;
            bool substituted = false;
            if (platform::CodePageToWide(936, pair.data(), 2, c) && c.length() == 1 &&
                (c[0] < 0xE000 || c[0] > 0xF8FF) &&
                platform::WideToCodePage(936, c.c_str(), 1, back, substituted) && !substituted &&
                back == pair)
                gb2312.push_back(pair);
        }
    }
    ASSERT_GE(gb2312.size(), 7445u);
    auto utf8 = [](std::string_view bytes, uint32_t codePage) {
        Utf8TextCheck check(codePage);
        check.Feed(bytes.data(), bytes.size());
        return check.IsUtf8Text();
    };
    // Each as a name alone, and in pairs: all of them in the soak run, a sixteenth here.
    size_t taken = 0;
    std::string one = "<a n=\"..\"/>", two = "<a n=\"....\"/>";
    for (size_t i = 0; i < gb2312.size(); ++i) {
        std::memcpy(one.data() + 6, gb2312[i].data(), 2);
        taken += utf8(one, 936);
        if (i % (BREVLO_SOAK ? 1 : 16)) continue;
        std::memcpy(two.data() + 6, gb2312[i].data(), 2);
        for (const std::string& second : gb2312) {
            std::memcpy(two.data() + 8, second.data(), 2);
            taken += utf8(two, 936);
        }
    }
    EXPECT_EQ(taken, 0u);

    // Whole catalogs, read as the load reads them: in UTF-8 (the first one reads exactly in
    // 936, as one saved by an editor often does), in the code page, or across a block.
    TempFolder dir;
    const std::u16string chinese =
        u"<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<mirvo><albums><album "
        u"name=\"\u590f\u5929\"/>"
        u"<album name=\"\u6d77\u8fb9\"/></albums></mirvo>\r\n";
    const std::u16string latin = u"<mirvo><albums><album name=\"Caf\u00e9\"/></albums></mirvo>";
    const std::u16string cyrillic =
        u"<mirvo><albums><album name=\"\u041f\u0440\u0438\u0432\u0435\u0442\"/></albums></mirvo>";
    struct Read {
        const char* what;
        std::string bytes;
        uint32_t codePage;
        bool utf8;
    };
    std::vector<Read> reads = {
        {"Chinese names in UTF-8", EncodeCatalog(chinese, 65001), 936, true},
        {"Chinese names in 936", EncodeCatalog(chinese, 936), 936, false},
        {"UTF-8 across a block", std::string((1 << 20) - 12, ' ') + EncodeCatalog(chinese, 65001),
         936, true},
        {"a UTF-8 byte-order mark", "\xef\xbb\xbf<a/>", 936, true},
        {"ASCII", "<a/>", 936, false},
        {"Chinese names in UTF-8, read as 1252", EncodeCatalog(chinese, 65001), 1252, true},
        {"an accent in UTF-8, read as 1252", platform::ToUtf8(latin), 1252, true},
        {"an accent in 1252", EncodeCatalog(latin, 1252), 1252, false},
        {"Cyrillic in 1251", EncodeCatalog(cyrillic, 1251), 1251, false},
        {"Chinese names in UTF-8, read as UTF-8", EncodeCatalog(chinese, 65001), 65001, false},
    };
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const std::u16string generated = GenerateCatalog({20, 5, seed});
        reads.push_back({"generated, in UTF-8", EncodeCatalog(generated, 65001), 936, true});
        reads.push_back({"generated, in 936", EncodeCatalog(generated, 936), 936, false});
    }
    for (const Read& r : reads) {
        SCOPED_TRACE(r.what);
        WriteBytes(dir / u"c.xml", r.bytes);
        TextBuffer text;
        CString result;
        TextFileCheck check;
        check.codePage = r.codePage;
        ASSERT_TRUE(CXmlDocument::ReadTextFile((dir / u"c.xml").c_str(), text, result, &check));
        EXPECT_EQ(check.utf8, r.utf8);
        if (r.codePage != 936) continue;
        CXmlDocument doc;
        doc.LoadFile((dir / u"c.xml").c_str());
        EXPECT_EQ(doc.LoadedUtf8Text(), r.utf8);
        if (r.what == reads[0].what) {
            EXPECT_TRUE(doc.LoadedExactly());
        }
    }
}

TEST(File, MissingFileKeepsTheDocument) {
    TempFolder dir;
    CXmlDocument doc;
    const XmlInternals in(doc);
    ASSERT_TRUE(doc.SetDocumentText(u"<keep><me/></keep>"));
    doc.FindElement(u"keep");
    const CString missing[] = {dir / u"missing.xml", dir / u"no-folder\\missing.xml"};
    for (const CString& path : missing) {
        EXPECT_FALSE(doc.LoadFile(path.c_str()));
        EXPECT_TRUE(OneLine(in.ResultText())) << Narrow(in.ResultText());
        EXPECT_EQ(in.DocumentText().view(), u"<keep><me/></keep>");
        EXPECT_EQ(in.MainHandle(), 1u);
        EXPECT_EQ(in.NextRecord(), 3);
    }
}

TEST(File, RoundTripIsByteForByte) {
    TempFolder dir;
    const std::string catalogs[] = {
        kCatalog936,
        "<mirvo>\r\n\t<albums>\r\n\t\t<album name=\"\xcf\xe0\xbf\xf2 &amp; A\">"
        "\r\n\t\t</album>\r\n\t</albums>\r\n</mirvo>\r\n",
        "",
    };
    for (const std::string& bytes : catalogs) {
        WriteBytes(dir / u"in.xml", bytes);
        CXmlDocument doc;
        doc.LoadFile((dir / u"in.xml").c_str());
        ASSERT_TRUE(doc.SaveFile((dir / u"out.xml").c_str()))
            << Narrow(XmlInternals(doc).ResultText());
        EXPECT_EQ(ReadBytes(dir / u"out.xml"), bytes);
        const CString note = DecimalText(XmlInternals(doc).DocumentText().length()) +
                             u" wide chars to " + DecimalText(static_cast<int32_t>(bytes.size())) +
                             u" bytes";
        EXPECT_EQ(XmlInternals(doc).ResultText(), note);
    }
}

TEST(File, SaveFailuresLeaveNoFile) {
    TempFolder dir;
    CXmlDocument doc;
    const XmlInternals in(doc);
    doc.SetDocumentText(u"<a/>");
    EXPECT_FALSE(doc.SaveFile((dir / u"no-folder\\c.xml").c_str()));
    EXPECT_TRUE(OneLine(in.ResultText())) << Narrow(in.ResultText());

    // A character code page 936 lacks: refused, the file untouched.
    WriteBytes(dir / u"c.xml", kCatalog936);
    doc.SetDocumentText(u"<a name=\"\u0e01\"/>");
    EXPECT_FALSE(doc.SaveFile((dir / u"c.xml").c_str()));
    EXPECT_EQ(Narrow(in.ResultText()),
              "Not saved: the text has characters that code page 936 cannot represent");
    EXPECT_EQ(ReadBytes(dir / u"c.xml"), kCatalog936);
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
}

// Passes everything to the real files but fails the n-th call of one kind.
class FaultyFiles : public platform::FileSystem {
  public:
    enum Step { kOpenRead, kCreate, kSize, kRead, kWrite, kFlush, kClose, kReplace, kSteps };
    FaultyFiles(Step step, platform::FileSystem& real) : step_(step), real_(real) {}

    platform::File* OpenRead(const char16_t* p) override {
        return Fail(kOpenRead) ? nullptr : real_.OpenRead(p);
    }
    platform::File* CreateTemporary(const char16_t* t, CString& tmp) override {
        return Fail(kCreate) ? nullptr : real_.CreateTemporary(t, tmp);
    }
    bool Size(platform::File* f, int64_t& s) override { return !Fail(kSize) && real_.Size(f, s); }
    bool Read(platform::File* f, void* b, size_t n, size_t& done) override {
        if (step_ == kRead) {  // a short read: the file delivers less than its size
            real_.Read(f, b, n, done);
            if (done) --done;
            return true;
        }
        return real_.Read(f, b, n, done);
    }
    bool Write(platform::File* f, const void* b, size_t n) override {
        if (Fail(kWrite)) {
            real_.Write(f, b, n / 2);  // half-written, then the disk is full
            return false;
        }
        return real_.Write(f, b, n);
    }
    bool Flush(platform::File* f) override { return !Fail(kFlush) && real_.Flush(f); }
    bool Close(platform::File* f) override {
        bool ok = real_.Close(f);
        return !Fail(kClose) && ok;
    }
    bool Replace(const char16_t* s, const char16_t* t) override {
        return !Fail(kReplace) && real_.Replace(s, t);
    }
    bool Remove(const char16_t* p) override { return real_.Remove(p); }

  private:
    bool Fail(Step s) {
        if (s != step_) return false;
        platform::SetLastError(platform::kErrorDiskFull);
        return true;
    }
    Step step_;
    platform::FileSystem& real_;
};

TEST(File, InjectedFaultsNeverDamageTheCatalog) {
    TempFolder dir;
    const CString path = dir / u"config.xml";
    platform::FileSystem& real = platform::Files();
    int injected = 0;
    for (int s = 0; s < FaultyFiles::kSteps; ++s) {
        SCOPED_TRACE(s);
        WriteBytes(path, kCatalog936);
        CXmlDocument doc;
        const XmlInternals in(doc);
        ASSERT_TRUE(doc.LoadFile(path.c_str()));
        doc.FindElement(u"mirvo");
        doc.EnterElement();
        doc.AppendElement(u"albums", u"\u65b0", 0);
        const std::u16string edited(in.DocumentText().view());

        FaultyFiles faulty(static_cast<FaultyFiles::Step>(s), real);
        platform::SetFilesForTest(&faulty);
        const bool saved = doc.SaveFile(path.c_str());
        CXmlDocument reloaded;
        const bool loaded = reloaded.LoadFile(path.c_str());
        platform::SetFilesForTest(nullptr);

        const bool saveStep = s == FaultyFiles::kCreate || s == FaultyFiles::kWrite ||
                              s == FaultyFiles::kFlush || s == FaultyFiles::kClose ||
                              s == FaultyFiles::kReplace;
        if (saveStep) {
            ++injected;
            EXPECT_FALSE(saved);
            EXPECT_TRUE(OneLine(in.ResultText())) << Narrow(in.ResultText());
            EXPECT_EQ(ReadBytes(path), kCatalog936);  // the original, exactly
        } else {
            EXPECT_TRUE(saved) << Narrow(in.ResultText());
            EXPECT_FALSE(loaded);  // the faults of loading
            // A failed load keeps the previous document: here the empty one.
            EXPECT_EQ(XmlInternals(reloaded).DocumentText().length(), 0);
            if (s == FaultyFiles::kRead) {
                EXPECT_EQ(XmlInternals(reloaded).ResultText().substr(0, 10), u"Short read");
            }
        }
        EXPECT_EQ(FilesIn(dir.Path()), 1u) << "a temporary file was left behind";
        (void)edited;
    }
    EXPECT_EQ(injected, 5);
}

TEST(File, SetDocumentTextWithNullParsesEmptyText) {
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocumentText(u"<a>"));
    EXPECT_FALSE(doc.SetDocumentText(nullptr));
    EXPECT_EQ(XmlInternals(doc).ResultText(), u"Empty document");
}

}  // namespace
