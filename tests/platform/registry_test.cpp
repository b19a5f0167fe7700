// The registry contract, run natively against a scratch prefix's user.reg and, in the Windows
// build, against the real registry of the test's Wine prefix. Natively also: the reader of
// Wine's file format against text that Wine 8 wrote, and against hostile text.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_prefix.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/reg_file.h"
#endif

namespace {

using platform::RegKey;

std::string Utf16Le(std::u16string_view text, bool terminate = true) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    if (terminate) out.append(2, '\0');
    return out;
}

const std::u16string k259(259, u'a');
const std::u16string k260(260, u'b');

// What the contract tests read, prepared per backend below.
struct Stored {
    const char16_t* key;
    const char16_t* name;  // null: the default value
    uint32_t type;
    std::string data;
};

std::vector<Stored> StoredValues() {
    return {
        {u"Software\\BrevloTest\\Mirvo", u"Install Path", platform::kRegSz,
         Utf16Le(u"C:\\Program Files\\Mirvo")},
        {u"Software\\BrevloTest\\Mirvo", u"Long259", platform::kRegSz, Utf16Le(k259)},
        {u"Software\\BrevloTest\\Mirvo", u"Long260", platform::kRegSz, Utf16Le(k260)},
        {u"Software\\BrevloTest\\Mirvo", u"中文", platform::kRegSz, Utf16Le(u"中文路径\\测试")},
        {u"Software\\BrevloTest\\Mirvo", u"Num", platform::kRegDword, std::string("\x1a\0\0\0", 4)},
        {u"Software\\BrevloTest\\Mirvo", u"Empty", platform::kRegSz, Utf16Le(u"")},
        {u"Software\\BrevloTest\\Mirvo", nullptr, platform::kRegSz, Utf16Le(u"default")},
        {u"Software\\BrevloTest\\Mirvo\\子键", u"名字", platform::kRegSz, Utf16Le(u"值")},
    };
}

#ifdef _WIN32

// Under Wine the values are written through the real API by the test itself.
class RegistryContract : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const Stored& s : StoredValues()) {
            HKEY key;
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t*>(s.key),
                                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegSetValueExW(key, reinterpret_cast<const wchar_t*>(s.name), 0, s.type,
                                       reinterpret_cast<const BYTE*>(s.data.data()),
                                       static_cast<DWORD>(s.data.size())));
            ::RegCloseKey(key);
        }
    }
    static void TearDownTestSuite() {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BrevloTest");
    }
};

#else

// Natively they are text in Wine 8's own format, as `wine reg add` leaves them in user.reg.
class RegistryContract : public scratch::PrefixSuite<RegistryContract> {
  public:
    static void Fill(scratch::Prefix& prefix) {
        prefix.WriteUserReg(
            "[Software\\\\BrevloTest\\\\Mirvo] 1796626384\n"
            "#time=1dd86179bb5c454\n"
            "@=\"default\"\n"
            "\"Empty\"=\"\"\n"
            "\"Install Path\"=\"C:\\\\Program Files\\\\Mirvo\"\n"
            "\"Long259\"=\"" +
            std::string(259, 'a') +
            "\"\n"
            "\"Long260\"=\"" +
            std::string(260, 'b') +
            "\"\n"
            "\"Num\"=dword:0000001a\n"
            "\"\\x4e2d\\x6587\"=\"\\x4e2d\\x6587\\x8def\\x5f84\\\\\\x6d4b\\x8bd5\"\n"
            "\n"
            "[Software\\\\BrevloTest\\\\Mirvo\\\\\\x5b50\\x952e] 1796626384\n"
            "#time=1dd86179bb5c6fc\n"
            "\"\\x540d\\x5b57\"=\"\\x503c\"\n"
            "\n"
            "[Software\\\\Wine\\\\Debug] 1796626374\n"
            "\"RelayExclude\"=\"ntdll.RtlEnterCriticalSection\"\n");
    }
};

#endif

struct QueryCase {
    const char* what;
    const char16_t* key;
    const char16_t* name;
    uint32_t room;  // bytes offered
    bool opens;
    bool succeeds;
    uint32_t sizeAfter;  // the size reported back
    uint32_t type;
    std::string data;
};

TEST_F(RegistryContract, OpenAndQuery) {
    const char16_t* mirvo = u"Software\\BrevloTest\\Mirvo";
    const std::string path = Utf16Le(u"C:\\Program Files\\Mirvo");
    const QueryCase cases[] = {
        {"value present", mirvo, u"Install Path", 520, true, true, 46, platform::kRegSz, path},
        {"buffer of exactly the size", mirvo, u"Install Path", 46, true, true, 46, platform::kRegSz,
         path},
        {"buffer one byte short", mirvo, u"Install Path", 45, true, false, 46, platform::kRegSz,
         ""},
        {"key and value in another case", u"SOFTWARE\\brevlotest\\mIRVO", u"INSTALL path", 520,
         true, true, 46, platform::kRegSz, path},
        {"259 characters fit 260", mirvo, u"Long259", 520, true, true, 520, platform::kRegSz,
         Utf16Le(k259)},
        {"260 characters do not", mirvo, u"Long260", 520, true, false, 522, platform::kRegSz, ""},
        {"value missing", mirvo, u"Missing", 520, true, false, 520, 0, ""},
        {"Chinese value", mirvo, u"中文", 520, true, true, 16, platform::kRegSz,
         Utf16Le(u"中文路径\\测试")},
        {"Chinese key", u"Software\\BrevloTest\\Mirvo\\子键", u"名字", 520, true, true, 4,
         platform::kRegSz, Utf16Le(u"值")},
        {"dword", mirvo, u"Num", 520, true, true, 4, platform::kRegDword,
         std::string("\x1a\0\0\0", 4)},
        {"empty string", mirvo, u"Empty", 520, true, true, 2, platform::kRegSz, Utf16Le(u"")},
        {"default value", mirvo, u"", 520, true, true, 16, platform::kRegSz, Utf16Le(u"default")},
        {"default value by null", mirvo, nullptr, 520, true, true, 16, platform::kRegSz,
         Utf16Le(u"default")},
        {"trailing separator", u"Software\\BrevloTest\\Mirvo\\", u"Num", 4, true, true, 4,
         platform::kRegDword, std::string("\x1a\0\0\0", 4)},
        {"parent without values of its own", u"Software\\BrevloTest", u"Install Path", 520, true,
         false, 520, 0, ""},
        {"key missing", u"Software\\BrevloTest\\Nope", u"Install Path", 520, false, false, 0, 0,
         ""},
        {"leading separator", u"\\Software\\BrevloTest\\Mirvo", u"Num", 4, false, false, 0, 0, ""},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.what);
        RegKey key = nullptr;
        ASSERT_EQ(c.opens, platform::RegOpenCurrentUserKey(c.key, key));
        if (!c.opens) {
            EXPECT_EQ(nullptr, key);
            continue;
        }
        std::vector<char> buffer(c.room + 8, '\x55');
        uint32_t size = c.room;
        uint32_t type = 0;
        bool ok = platform::QueryRegistryValue(key, c.name, buffer.data(), size, &type);
        platform::RegCloseKey(key);
        EXPECT_EQ(c.succeeds, ok);
        EXPECT_EQ(c.sizeAfter, size);
        if (c.succeeds) {
            EXPECT_EQ(c.type, type);
            EXPECT_EQ(c.data, std::string(buffer.data(), size));
            // Nothing beyond the data is touched.
            EXPECT_EQ('\x55', buffer[size]);
        } else if (c.sizeAfter > c.room) {
            EXPECT_EQ(platform::kErrorMoreData, platform::GetLastError());
        }
    }
}

// Both preparations hold the same values: each reads back exactly as stored.
TEST_F(RegistryContract, ValuesReadBackAsStored) {
    for (const Stored& s : StoredValues()) {
        SCOPED_TRACE(platform::ToUtf8(s.name ? s.name : u"@"));
        RegKey key = nullptr;
        ASSERT_TRUE(platform::RegOpenCurrentUserKey(s.key, key));
        std::vector<char> buffer(600);
        uint32_t size = static_cast<uint32_t>(buffer.size());
        uint32_t type = 0;
        EXPECT_TRUE(platform::QueryRegistryValue(key, s.name, buffer.data(), size, &type));
        platform::RegCloseKey(key);
        EXPECT_EQ(s.type, type);
        EXPECT_EQ(s.data, std::string(buffer.data(), size));
    }
}

TEST_F(RegistryContract, SizeQueryWithoutBuffer) {
    RegKey key = nullptr;
    ASSERT_TRUE(platform::RegOpenCurrentUserKey(u"Software\\BrevloTest\\Mirvo", key));
    uint32_t size = 0;
    EXPECT_TRUE(platform::QueryRegistryValue(key, u"Long260", nullptr, size, nullptr));
    EXPECT_EQ(522u, size);
    platform::RegCloseKey(key);
}

TEST_F(RegistryContract, MissingKeyAndValueReportFileNotFound) {
    RegKey key = nullptr;
    EXPECT_FALSE(platform::RegOpenCurrentUserKey(u"Software\\BrevloTest\\Nope", key));
    EXPECT_EQ(platform::kErrorFileNotFound, platform::GetLastError());
    ASSERT_TRUE(platform::RegOpenCurrentUserKey(u"Software\\BrevloTest\\Mirvo", key));
    uint32_t size = 8;
    char buffer[8];
    EXPECT_FALSE(platform::QueryRegistryValue(key, u"Nope", buffer, size, nullptr));
    EXPECT_EQ(platform::kErrorFileNotFound, platform::GetLastError());
    platform::RegCloseKey(key);
}

#ifndef _WIN32

// ---- the file format itself (portable code, tested natively) ------------------------------

// A key that Wine 8 wrote after RegSetValueExW calls with exactly the bytes in kCaptured.
constexpr std::string_view kWine8 =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\BrevloProbe] 1796626611\n"
    "#time=1dd861823092040\n"
    "@=\"x\"\n"
    "\"BigType\"=hex(20000):00,07,0e\n"
    "\"Bin\"=hex:00,07,0e,15,1c,23,2a,31,38,3f,46,4d,54,5b,62,69,70,77,7e,85,8c,93,9a,\\\n"
    "  a1,a8,af,b6,bd,c4,cb,d2,d9,e0,e7,ee,f5,fc,03,0a,11,18,1f,26,2d,34,3b,42,49,\\\n"
    "  50,57,5e,65,6c,73,7a,81,88,8f,96,9d,a4,ab,b2,b9,c0,c7,ce,d5,dc,e3,ea,f1,f8,\\\n"
    "  ff,06,0d,14,1b,22,29,30,37,3e,45,4c,53,5a,61,68,6f,76,7d,84,8b,92,99,a0,a7,\\\n"
    "  ae,b5\n"
    "\"Ctl\"=\"a\\tb\\nc\\rd\\0017e\\af\\eg\\0h\\2z\"\n"
    "\"Emoji\"=\"x\\xd83d\\xde00y\"\n"
    "\"Empty\"=\"\"\n"
    "\"EmptyBin\"=hex:\n"
    "\"Exp\"=str(2):\"%WINDIR%\\\\x\"\n"
    "\"HexAfter\"=\"\\x4e2da1\\x00e9F\"\n"
    "\"Install Path\"=\"C:\\\\Program Files\\\\Mirvo\"\n"
    "\"Multi\"=str(7):\"one\\0two\\0\"\n"
    "\"Num\"=dword:0000001a\n"
    "\"NumMax\"=dword:ffffffff\n"
    "\"OddSz\"=hex(1):61,62,63\n"
    "\"Q\"=hex(b):ef,cd,ab,89,67,45,23,01\n"
    "\"Quote\\\"Back\\\\slash\"=\"a\\\"b\\\\c\"\n"
    "\"ShortDword\"=hex(4):07,0e\n"
    "\"\\x4e2d\\x6587\"=\"\\x4e2d\\x6587\\x8def\\x5f84\\\\\\x6d4b\\x8bd5\"\n"
    "\n"
    "[Software\\\\BrevloProbe\\\\K\\[1\\]\\\\\\x4e2d] 1796626611\n"
    "#time=1dd861823092018\n"
    "\"Lower\"=\"Ab\\xc4\\xe4\"\n"
    "\n";

struct Captured {
    std::u16string name;
    uint32_t type;
    std::string data;
};

std::vector<Captured> CapturedValues() {
    std::string bin;
    for (int i = 0; i < 100; ++i) bin.push_back(static_cast<char>(i * 7));
    return {
        {u"", 1, Utf16Le(u"x")},
        {u"BigType", 0x20000, bin.substr(0, 3)},
        {u"Bin", 3, bin},
        {u"Ctl", 1,
         Utf16Le(std::u16string(u"a\tb\nc\rd\x01"
                                u"7e\x07"
                                u"f\x1b"
                                u"g\0h\x02z",
                                18))},
        {u"Emoji", 1, Utf16Le(u"x\U0001F600y")},
        {u"Empty", 1, Utf16Le(u"")},
        {u"EmptyBin", 3, ""},
        {u"Exp", 2, Utf16Le(u"%WINDIR%\\x")},
        {u"HexAfter", 1, Utf16Le(u"中a1\u00e9F")},
        {u"Install Path", 1, Utf16Le(u"C:\\Program Files\\Mirvo")},
        {u"Multi", 7, Utf16Le(std::u16string(u"one\0two\0", 8))},
        {u"Num", 4, std::string("\x1a\0\0\0", 4)},
        {u"NumMax", 4, std::string("\xff\xff\xff\xff", 4)},
        {u"OddSz", 1, "abc"},
        {u"Q", 11, std::string("\xef\xcd\xab\x89\x67\x45\x23\x01", 8)},
        {u"Quote\"Back\\slash", 1, Utf16Le(u"a\"b\\c")},
        {u"ShortDword", 4, bin.substr(1, 2)},
        {u"中文", 1, Utf16Le(u"中文路径\\测试")},
    };
}

TEST(RegFile, ReadsWhatWine8Wrote) {
    platform::regfile::Key key;
    ASSERT_TRUE(platform::regfile::FindKey(kWine8, u"Software\\BrevloProbe", key));
    const std::vector<Captured> expected = CapturedValues();
    ASSERT_EQ(expected.size(), key.values.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(platform::ToUtf8(expected[i].name));
        EXPECT_EQ(expected[i].name, key.values[i].name);
        EXPECT_EQ(expected[i].type, key.values[i].type);
        EXPECT_EQ(expected[i].data, key.values[i].data);
    }

    ASSERT_TRUE(platform::regfile::FindKey(kWine8, u"software\\BREVLOPROBE\\k[1]\\中", key));
    ASSERT_EQ(1u, key.values.size());
    // Latin-1 letters fold too: Ä and ä.
    const platform::regfile::Value* lower = key.Find(u"LOWER");
    ASSERT_NE(nullptr, lower);
    EXPECT_EQ(Utf16Le(u"Ab\u00c4\u00e4"), lower->data);

    std::vector<platform::regfile::Key> all;
    ASSERT_TRUE(platform::regfile::ParseAll(kWine8, all));
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ(u"Software\\BrevloProbe\\K[1]\\中", all[1].path);
}

TEST(RegFile, LookupRules) {
    const std::string text =
        "WINE REGISTRY Version 2\n"
        "[A\\\\B\\\\C] 1\n\"v\"=\"1\"\n"
        "[a\\\\b] 2\n\"v\"=\"early\"\n\"w\"=dword:00000002\n"
        "[A\\\\B] 3\n\"V\"=\"late\"\n"
        "[Raw] 4\n\"名\"=\"中文\"\n";
    struct Case {
        const char16_t* path;
        bool found;
        size_t values;
        const char16_t* name;
        std::string data;
    } cases[] = {
        {u"A\\B\\C", true, 1, u"v", Utf16Le(u"1")},
        {u"A\\B", true, 2, u"v", Utf16Le(u"late")},  // repeated sections merge, later wins
        {u"A", true, 0, nullptr, ""},                // a parent without a section exists
        {u"", true, 0, nullptr, ""},                 // the root always exists
        {u"A\\B\\C\\D", false, 0, nullptr, ""},
        {u"A\\", false, 0, nullptr, ""},
        {u"A\\B\\", false, 0, nullptr, ""},
        {u"B", false, 0, nullptr, ""},
        {u"raw", true, 1, u"名", Utf16Le(u"中文")},  // raw UTF-8 as older files hold it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::ToUtf8(c.path));
        platform::regfile::Key key;
        EXPECT_EQ(c.found, platform::regfile::FindKey(text, c.path, key));
        EXPECT_EQ(c.values, key.values.size());
        if (c.name) {
            const platform::regfile::Value* v = key.Find(c.name);
            ASSERT_NE(nullptr, v);
            EXPECT_EQ(c.data, v->data);
        }
    }
}

TEST(RegFile, NamesFoldAsTheRegistryDoes) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        bool equal;
    } cases[] = {
        {u"Software", u"SOFTWARE", true},
        {u"Mirvo", u"mirvo", true},
        {u"\u00e4\u00f6\u00fc", u"\u00c4\u00d6\u00dc", true},
        {u"\u00ff", u"\u0178", true},
        {u"\u0101\u013a", u"\u0100\u0139", true},
        {u"\u03c3\u03c2", u"\u03a3\u03a3", true},
        {u"\u0436\u0451", u"\u0416\u0401", true},
        {u"\uff41", u"\uff21", true},
        {u"中文", u"中文", true},
        {u"a", u"b", false},
        {u"\u00df", u"SS", false},
        {u"\u00f7", u"\u00d7", false},
        {u"ab", u"a", false},
        {u"@", u"`", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.equal, platform::regfile::EqualNoCase(c.a, c.b)) << platform::ToUtf8(c.a);
    }
}

TEST(RegFile, HostileText) {
    const std::string header = "WINE REGISTRY Version 2\n[K] 1\n";
    struct Case {
        const char* what;
        std::string text;
        bool found;     // the key K is there
        size_t values;  // values that survive
    } cases[] = {
        {"empty", "", false, 0},
        {"no header", "[K] 1\n\"a\"=\"b\"\n", false, 0},
        {"other version", "WINE REGISTRY Version 1\n[K] 1\n", false, 0},
        {"header only", "WINE REGISTRY Version 2", false, 0},
        {"header with CRLF", "WINE REGISTRY Version 2\r\n[K] 1\r\n\"a\"=\"b\"\r\n", true, 1},
        {"header after BOM", "\xEF\xBB\xBFWINE REGISTRY Version 2\n[K]\n\"a\"=\"b\"\n", true, 1},
        {"unterminated section", "WINE REGISTRY Version 2\n[K\n\"a\"=\"b\"\n", false, 0},
        {"section ending in a backslash", "WINE REGISTRY Version 2\n[K\\", false, 0},
        {"unterminated name", header + "\"a=\"b\"\n", true, 0},
        {"unterminated string", header + "\"a\"=\"b\n", true, 0},
        {"string ending in a backslash", header + "\"a\"=\"b\\", true, 0},
        {"escape at the end", header + "\"a\"=\"\\x", true, 0},
        {"no equals sign", header + "\"a\" \"b\"\n", true, 0},
        {"unknown type", header + "\"a\"=qword:1\n", true, 0},
        {"dword too long", header + "\"a\"=dword:123456789\n", true, 0},
        {"dword empty", header + "\"a\"=dword:\n", true, 0},
        {"dword with garbage", header + "\"a\"=dword:12zz\n", true, 0},
        {"hex garbage", header + "\"a\"=hex:0g\n", true, 0},
        {"hex type unclosed", header + "\"a\"=hex(2:00\n", true, 0},
        {"hex type too long", header + "\"a\"=hex(123456789):00\n", true, 0},
        {"str type unclosed", header + "\"a\"=str(2\"x\"\n", true, 0},
        {"continuation at the end of the file", header + "\"a\"=hex:01,\\", true, 1},
        {"continuation into garbage", header + "\"a\"=hex:01,\\\nzz\n\"b\"=\"c\"\n", true, 1},
        {"NUL bytes", header + std::string("\"a\0\"=\"\0\"\n", 9), true, 1},
        {"invalid UTF-8", header + "\"\xff\xfe\"=\"\xc3\x28\xe2\x82\xf0\x90\x80\"\n", true, 1},
        {"lone surrogate escape", header + "\"a\"=\"\\xd800\"\n", true, 1},
        {"bad value then good", header + "\"a\"=junk\n\"b\"=\"ok\"\n", true, 1},
        {"many blank continuations", header + "\"a\"=hex:\\\n" + std::string(10000, '\\') + "\n",
         true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::regfile::Key key;
        EXPECT_EQ(c.found, platform::regfile::FindKey(c.text, u"K", key));
        EXPECT_EQ(c.values, key.values.size());
        std::vector<platform::regfile::Key> all;
        platform::regfile::ParseAll(c.text, all);
    }
}

TEST(RegFile, HugeInputsStayLinear) {
    // One megabyte lines and a hundred thousand values: the parser neither overflows nor goes
    // quadratic (a quadratic merge would take minutes here).
    std::string text =
        "WINE REGISTRY Version 2\n[K] 1\n\"big\"=\"" + std::string(1 << 20, 'x') + "\"\n";
    text += "\"hex\"=hex:" + std::string(1 << 20, '0') + "\n";
    for (int i = 0; i < 100000; ++i) text += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
    platform::regfile::Key key;
    ASSERT_TRUE(platform::regfile::FindKey(text, u"K", key));
    EXPECT_EQ(100001u, key.values.size());
    EXPECT_EQ((size_t{1} << 21) + 2, key.Find(u"big")->data.size());
}

// Every cut of the captured file and a few thousand random corruptions of it: no read out of
// bounds (ASan watches), and a file cut after a complete line keeps the values before it.
TEST(RegFile, CutsAndCorruptions) {
    std::vector<platform::regfile::Key> whole;
    ASSERT_TRUE(platform::regfile::ParseAll(kWine8, whole));
    for (size_t cut = 0; cut <= kWine8.size(); ++cut) {
        std::string text(kWine8.substr(0, cut));
        std::vector<platform::regfile::Key> part;
        platform::regfile::ParseAll(text, part);
        platform::regfile::Key key;
        platform::regfile::FindKey(text, u"Software\\BrevloProbe", key);
        ASSERT_LE(part.size(), whole.size());
        for (size_t k = 0; k + 1 < part.size(); ++k) {
            ASSERT_EQ(whole[k].values.size(), part[k].values.size()) << "cut at " << cut;
        }
        if (cut > 0 && kWine8[cut - 1] == '\n' && !part.empty()) {
            const auto& got = part.back().values;
            const auto& all = whole[part.size() - 1].values;
            for (size_t v = 0; v < got.size(); ++v) {
                // A hex list cut after a continued line loses only its tail.
                if (v + 1 == got.size() && got[v].type != all[v].type) continue;
                EXPECT_EQ(all[v].name, got[v].name) << "cut at " << cut;
                if (all[v].type == 1 || all[v].type == 4) {
                    EXPECT_EQ(all[v].data, got[v].data);
                }
            }
        }
    }
    std::mt19937 random(12345);
    const char alphabet[] = "\\\"[]@=:,()x0f9\n\r\x80\xff\0 ";
    for (int round = 0; round < 3000; ++round) {
        std::string text(kWine8);
        int edits = 1 + int(random() % 8);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % text.size();
            char c = alphabet[random() % (sizeof alphabet - 1)];
            switch (random() % 3) {
                case 0:
                    text[at] = c;
                    break;
                case 1:
                    text.insert(at, 1, c);
                    break;
                default:
                    text.erase(at, 1 + random() % 16);
                    break;
            }
        }
        std::vector<platform::regfile::Key> all;
        platform::regfile::ParseAll(text, all);
        platform::regfile::Key key;
        platform::regfile::FindKey(text, u"Software\\BrevloProbe", key);
    }
}

TEST(RegistryPosix, MissingOrBrokenUserReg) {
    scratch::Prefix prefix;
    std::filesystem::remove(prefix.Path() + "/user.reg");
    RegKey key = nullptr;
    EXPECT_FALSE(platform::RegOpenCurrentUserKey(u"Software", key));
    EXPECT_EQ(platform::kErrorFileNotFound, platform::GetLastError());
    prefix.Write("user.reg", "garbage\n[Software\\\\Mirvo]\n\"Install Path\"=\"C:\\\\x\"\n");
    EXPECT_FALSE(platform::RegOpenCurrentUserKey(u"Software\\Mirvo", key));
    EXPECT_EQ(nullptr, key);
}

TEST(RegistryPosix, EachOpenReadsTheFileAnew) {
    scratch::Prefix prefix;
    prefix.WriteUserReg("[Software\\\\Mirvo] 1\n\"Install Path\"=\"C:\\\\One\"\n");
    RegKey first = nullptr;
    ASSERT_TRUE(platform::RegOpenCurrentUserKey(u"Software\\Mirvo", first));
    prefix.WriteUserReg("[Software\\\\Mirvo] 1\n\"Install Path\"=\"C:\\\\Two\"\n");
    RegKey second = nullptr;
    ASSERT_TRUE(platform::RegOpenCurrentUserKey(u"Software\\Mirvo", second));
    char16_t one[16] = {}, two[16] = {};
    uint32_t size = sizeof one;
    ASSERT_TRUE(platform::QueryRegistryValue(first, u"Install Path", one, size, nullptr));
    size = sizeof two;
    ASSERT_TRUE(platform::QueryRegistryValue(second, u"Install Path", two, size, nullptr));
    EXPECT_EQ(std::u16string(u"C:\\One"), one);
    EXPECT_EQ(std::u16string(u"C:\\Two"), two);
    platform::RegCloseKey(first);
    platform::RegCloseKey(second);
    platform::RegCloseKey(nullptr);
}

#endif

}  // namespace
