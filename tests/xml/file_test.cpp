// Load and save through the platform's files, with the ANSI code page 936 (the tests run with
// LC_ALL=zh_CN.UTF-8 in both builds) and with injected faults at every step of a save.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/platform_temp.h"
#include "support/xml_checker.h"
#include "xml/internal/XmlInternals.h"

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
