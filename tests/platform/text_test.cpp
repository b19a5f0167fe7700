// Code-page and UTF-8 conversions, the ANSI code page of the locale, and error texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/platform_temp.h"

#ifndef _WIN32
#include <locale.h>
#endif

namespace {

using platform::CodePageToWide;
using platform::WideToCodePage;

std::string Hex(std::u16string_view text) {
    std::string out;
    char buffer[8];
    for (char16_t c : text) {
        std::snprintf(buffer, sizeof buffer, "%04X ", static_cast<unsigned>(c));
        out += buffer;
    }
    return out;
}

CString ToWide(uint32_t codePage, std::string_view bytes) {
    TextBuffer out;
    EXPECT_TRUE(CodePageToWide(codePage, bytes.data(), bytes.size(), out));
    return CString(out.view());
}

std::string FromWide(uint32_t codePage, std::u16string_view text, bool* used = nullptr) {
    std::string out;
    bool usedDefault = true;
    EXPECT_TRUE(WideToCodePage(codePage, text.data(), text.size(), out, usedDefault));
    if (used) *used = usedDefault;
    return out;
}

TEST(Text, Utf8RoundTripAndReplacement) {
    const CString text = u"ASCII \u00e9\u4e2d\u6587 \U0001F600 end";
    EXPECT_EQ(platform::FromUtf8(platform::ToUtf8(text)), text);
    EXPECT_EQ(platform::ToUtf8(u"\u4e2d"), "\xe4\xb8\xad");
    EXPECT_EQ(platform::ToUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    // Lone surrogates and ill-formed bytes become U+FFFD; conversion goes on.
    EXPECT_EQ(platform::ToUtf8(std::u16string{u'a', 0xD800, u'b', 0xDC00}),
              "a\xef\xbf\xbd"
              "b\xef\xbf\xbd");
    struct Case {
        std::string bytes;
        CString text;
    };
    const Case cases[] = {
        {"a\x80z", u"a\uFFFDz"},
        {"\xc0\xaf", u"\uFFFD\uFFFD"},            // overlong
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xe4\xb8", u"\uFFFD"},                  // truncated: one maximal subpart
        {"\xe4\xb8z", u"\uFFFDz"},
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {std::string("\0x", 2), std::u16string(u"\0x", 2)},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(platform::FromUtf8(c.bytes)), Hex(c.text));
}

TEST(Text, CodePageRoundTrips) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        CString text;
    };
    const Case cases[] = {
        {936, "\xd6\xd0\xce\xc4<\xcd\xbc\xc6\xac/>", u"\u4e2d\u6587<\u56fe\u7247/>"},
        {936, "\x80", u"\u20ac"},
        {1252, "caf\xe9 \x80 \x9f", u"caf\u00e9 \u20ac \u0178"},
        // The five bytes cp1252 leaves undefined stand for the C1 controls of that number.
        {1252, "\x81\x8d\x8f\x90\x9d", u"\u0081\u008d\u008f\u0090\u009d"},
        {1251, "\xcf\xf0\xe8\xe2\xe5\xf2", u"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {932, "\x93\xfa\x96\x7b\x8c\xea", u"\u65e5\u672c\u8a9e"},
        {949, "\xc7\xd1\xb1\xb9", u"\ud55c\uad6d"},
        {950, "\xa4\xa4\xa4\xe5", u"\u4e2d\u6587"},
        {65001, "\xe4\xb8\xad", u"\u4e2d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        EXPECT_EQ(Hex(ToWide(c.codePage, c.bytes)), Hex(c.text));
        bool used = true;
        EXPECT_EQ(FromWide(c.codePage, c.text, &used), c.bytes);
        EXPECT_FALSE(used);
    }
    // Every byte of the one-byte code pages comes back unchanged.
    for (uint32_t codePage : {1250u, 1251u, 1252u, 1253u, 1254u, 1257u}) {
        std::string all;
        for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
        CString wide = ToWide(codePage, all);
        ASSERT_EQ(wide.size(), 256u) << codePage;
        bool used = true;
        EXPECT_EQ(FromWide(codePage, wide, &used), all) << codePage;
        EXPECT_FALSE(used) << codePage;
    }
}

// Invalid sequences never fail; they convert the way Windows' tables do.
TEST(Text, InvalidBytesConvertAsWindowsDoes) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        CString text;
    };
    const Case cases[] = {
        {936, "a\x81", u"a?"},      // a lead byte at the end
        {936, "\x81\x20z", u"?z"},  // lead and invalid trail go together
        {936, std::string("\x81\0z", 3), std::u16string(u"?\0z", 3)},  // NUL is no trail
        {936, "\xff", u"\uf8f5"},
        {936, "\xaa\xa1", u"\ue000"},  // user-defined area
        {932, "\x81\x20", u"\u30fb"},
        {932, "\xa0", u"\uf8f0"},
        {950, "\xfa\x40", u"\ue000"},
        {874, "\xdb", u"\uf8c1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        EXPECT_EQ(Hex(ToWide(c.codePage, c.bytes)), Hex(c.text));
    }
}

TEST(Text, UsedDefaultMarksWhatTheCodePageLacks) {
    bool used = false;
    EXPECT_EQ(FromWide(1252, u"a\u4e2db", &used), "a?b");
    EXPECT_TRUE(used);
    EXPECT_EQ(FromWide(1251, u"x\u4e2d", &used), "x?");
    EXPECT_TRUE(used);
    EXPECT_EQ(FromWide(936, u"\u0416\u4e2d", &used), "\xa7\xa8\xd6\xd0");
    EXPECT_FALSE(used);
    EXPECT_EQ(FromWide(936, u"\u0e01", &used), "?");  // Thai: not in cp936
    EXPECT_TRUE(used);
    EXPECT_EQ(FromWide(1252, u"plain ascii", &used), "plain ascii");
    EXPECT_FALSE(used);
    // A character outside the BMP has no equivalent in a code page: each half is replaced.
    EXPECT_EQ(FromWide(936, u"\U0001F600", &used), "??");
    EXPECT_TRUE(used);
    EXPECT_EQ(FromWide(65001, u"\U0001F600", &used), "\xf0\x9f\x98\x80");
    EXPECT_FALSE(used);
    EXPECT_EQ(FromWide(1252, u"", &used), "");
    EXPECT_FALSE(used);
}

TEST(Text, AnsiConversionUsesTheAnsiCodePageAndExactLength) {
    const uint32_t acp = platform::AnsiCodePage();
    EXPECT_NE(acp, 0u);
    // A long ASCII run with a non-ASCII tail, through the fast path and past it.
    std::string bytes(1000, 'x');
    bytes += "<a/>\r\n";
    TextBuffer out;
    out.Assign(u"previous text that is longer than nothing");
    ASSERT_TRUE(platform::AnsiToWide(bytes.data(), bytes.size(), out));
    EXPECT_EQ(out.length(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(out.capacity(), out.length());
    EXPECT_EQ(platform::ToUtf8(out.view()), bytes);
    std::string back;
    bool used = true;
    ASSERT_TRUE(platform::WideToAnsi(out.c_str(), static_cast<size_t>(out.length()), back, used));
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(used);
    // The same as naming the code page.
    std::string sample = "abc\xe9\xd6\xd0";
    TextBuffer viaAnsi;
    ASSERT_TRUE(platform::AnsiToWide(sample.data(), sample.size(), viaAnsi));
    EXPECT_EQ(Hex(viaAnsi.view()), Hex(ToWide(acp, sample)));
    ASSERT_TRUE(platform::AnsiToWide("", 0, viaAnsi));
    EXPECT_EQ(viaAnsi.length(), 0);
}

TEST(Text, SystemErrorTextIsOneLine) {
    platform_test::TempFolder folder;
    const CString missing = folder / u"missing.xml";
    EXPECT_EQ(platform::Files().OpenRead(missing.c_str()), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    CString text = platform::SystemErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of(u"\r\n"), CString::npos);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);  // left as it was
    const CString noFolder = folder / u"no\\such.xml";
    EXPECT_EQ(platform::Files().OpenRead(noFolder.c_str()), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
    EXPECT_FALSE(platform::SystemErrorText().empty());
    // A code set by the logic has a text too; one the system does not know has none.
    platform::SetLastError(platform::kErrorAccessDenied);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    text = platform::SystemErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of(u"\r\n"), CString::npos);
    platform::SetLastError(0x2000FFFF);
    EXPECT_TRUE(platform::SystemErrorText().empty());
#ifndef _WIN32
    // The text of the errno behind the code.
    EXPECT_EQ(platform::Files().OpenRead(missing.c_str()), nullptr);
    EXPECT_EQ(platform::ToUtf8(platform::SystemErrorText()), "No such file or directory");
#endif
}

TEST(Text, UnknownCodePageIsAnInvalidParameter) {
    TextBuffer out;
    out.Assign(u"kept");
    EXPECT_FALSE(CodePageToWide(12345, "a", 1, out));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
    EXPECT_EQ(out.view(), u"kept");
    std::string bytes;
    bool used = false;
    EXPECT_FALSE(WideToCodePage(12345, u"a", 1, bytes, used));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
}

#ifndef _WIN32

// Sets locale variables for one test and puts the old ones back.
class LocaleEnvironment : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
    }
    static void Set(const char* name, const char* value) {
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    static bool Generated(const char* name) {
        locale_t locale = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
        if (locale) ::freelocale(locale);
        return locale != static_cast<locale_t>(0);
    }

    static constexpr const char* kNames[] = {"LC_ALL", "LC_CTYPE", "LANG", "LC_MESSAGES"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

// What Wine 8 reports as GetACP() for these settings.
TEST_F(LocaleEnvironment, AnsiCodePageFollowsWine) {
    struct Case {
        const char* lcAll;
        const char* lcCtype;
        const char* lang;
        const char* lcMessages;
        uint32_t codePage;
        const char* needs;  // a locale that must be generated, or that must not be
        bool generated;
    };
    const Case cases[] = {
        // LC_ALL counts whether or not the locale is generated.
        {"zh_CN.UTF-8", nullptr, nullptr, nullptr, 936, nullptr, false},
        {"ko_KR.UTF-8", nullptr, nullptr, nullptr, 949, nullptr, false},
        {"ja_JP.UTF-8", nullptr, nullptr, nullptr, 932, nullptr, false},
        {"pl_PL.UTF-8", nullptr, nullptr, nullptr, 1250, nullptr, false},
        {"de_DE", nullptr, nullptr, nullptr, 1252, nullptr, false},
        {"zh_TW.UTF-8", nullptr, nullptr, nullptr, 950, nullptr, false},
        {"zh_HK", nullptr, nullptr, nullptr, 950, nullptr, false},
        {"zh_SG.GBK", nullptr, nullptr, nullptr, 936, nullptr, false},
        {"ru_RU.KOI8-R", nullptr, nullptr, nullptr, 1251, nullptr, false},
        {"el_GR.UTF-8", nullptr, nullptr, nullptr, 1253, nullptr, false},
        {"tr_TR.UTF-8", nullptr, nullptr, nullptr, 1254, nullptr, false},
        {"he_IL.UTF-8", nullptr, nullptr, nullptr, 1255, nullptr, false},
        {"ar_EG.UTF-8", nullptr, nullptr, nullptr, 1256, nullptr, false},
        {"lt_LT.UTF-8", nullptr, nullptr, nullptr, 1257, nullptr, false},
        {"vi_VN.UTF-8", nullptr, nullptr, nullptr, 1258, nullptr, false},
        {"th_TH.UTF-8", nullptr, nullptr, nullptr, 874, nullptr, false},
        {"sr_RS.UTF-8@latin", nullptr, nullptr, nullptr, 1250, nullptr, false},
        {"C", nullptr, "zh_CN.UTF-8", nullptr, 1252, nullptr, false},
        {"C.UTF-8", nullptr, nullptr, nullptr, 1252, nullptr, false},
        // LC_CTYPE, else LANG, only when the C library has that locale.
        {nullptr, nullptr, "zh_CN.UTF-8", nullptr, 936, "zh_CN.UTF-8", true},
        {nullptr, nullptr, "zh_CN.UTF-8", nullptr, 1252, "zh_CN.UTF-8", false},
        {nullptr, nullptr, "ru_RU.UTF-8", nullptr, 1251, "ru_RU.UTF-8", true},
        {nullptr, nullptr, "ja_JP.UTF-8", nullptr, 1252, "ja_JP.UTF-8", false},
        {nullptr, nullptr, "zh_TW.UTF-8", nullptr, 1252, "zh_TW.UTF-8", false},
        {nullptr, "zh_CN.UTF-8", nullptr, nullptr, 936, "zh_CN.UTF-8", true},
        {nullptr, "zh_CN.UTF-8", "ru_RU.UTF-8", nullptr, 936, "zh_CN.UTF-8", true},
        {nullptr, nullptr, nullptr, "zh_CN.UTF-8", 1252, nullptr, false},
        {nullptr, nullptr, nullptr, nullptr, 1252, nullptr, false},
        {"", nullptr, "C", nullptr, 1252, nullptr, false},
    };
    int skipped = 0;
    for (const Case& c : cases) {
        if (c.needs && Generated(c.needs) != c.generated) {
            ++skipped;
            continue;
        }
        Set("LC_ALL", c.lcAll);
        Set("LC_CTYPE", c.lcCtype);
        Set("LANG", c.lang);
        Set("LC_MESSAGES", c.lcMessages);
        EXPECT_EQ(platform::AnsiCodePage(), c.codePage)
            << "LC_ALL=" << (c.lcAll ? c.lcAll : "-")
            << " LC_CTYPE=" << (c.lcCtype ? c.lcCtype : "-") << " LANG=" << (c.lang ? c.lang : "-")
            << " LC_MESSAGES=" << (c.lcMessages ? c.lcMessages : "-");
    }
    if (skipped) std::printf("%d cases skipped for the locales generated here\n", skipped);
}

TEST_F(LocaleEnvironment, AnsiConversionFollowsTheLocale) {
    Set("LC_ALL", "zh_CN.UTF-8");
    TextBuffer out;
    ASSERT_TRUE(platform::AnsiToWide("\xd6\xd0", 2, out));
    EXPECT_EQ(Hex(out.view()), Hex(u"\u4e2d"));
    Set("LC_ALL", "C");
    ASSERT_TRUE(platform::AnsiToWide("\xd6\xd0", 2, out));
    EXPECT_EQ(Hex(out.view()), Hex(u"\u00d6\u00d0"));
    std::string bytes;
    bool used = false;
    ASSERT_TRUE(platform::WideToAnsi(u"\u4e2d", 1, bytes, used));
    EXPECT_EQ(bytes, "?");
    EXPECT_TRUE(used);
}

#endif  // !_WIN32

}  // namespace
