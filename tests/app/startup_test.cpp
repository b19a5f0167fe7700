// Start-up: the command line, the registry lookup, the version record and the failure path,
// on a throwaway prefix (native; the Windows build meets the same cases end to end).
#include <gtest/gtest.h>

#include "app/ImportApp.h"
#include "app/ImportDialog.h"
#include "app_support.h"

#ifndef _WIN32

namespace {

using app_test::Narrow;

const char kInstall[] = "C:\\Program Files\\MirvoPix";

struct StartCase {
    const char* name;
    std::vector<CString> arguments;
    bool registered;
    bool dialog;  // the progress dialog runs; otherwise nothing at all happens
    CString word;
};

class Startup : public ::testing::TestWithParam<StartCase> {
  protected:
    void SetUp() override { app_test::ResetApp(); }
};

TEST_P(Startup, RunsTheDialogOnlyForTheWordMarks) {
    const StartCase& c = GetParam();
    app_test::Prefix prefix;
    if (c.registered) prefix.RegisterInstallPath(kInstall);
    app_test::User user;
    ui::SetArguments(c.arguments);

    EXPECT_FALSE(theApp.InitInstance());

    if (c.dialog) {
        ASSERT_EQ(user.dialogs.size(), 1u);
        ASSERT_EQ(user.boxes.size(), 1u);
        EXPECT_EQ(user.boxes[0].text, u"导入完成，是否试用MirvoPix？");
        EXPECT_EQ(theApp.m_commandWord, c.word) << Narrow(theApp.m_commandWord);
        EXPECT_EQ(theApp.m_installPath, platform::FromUtf8(kInstall));
    } else {
        EXPECT_TRUE(user.dialogs.empty());
        EXPECT_TRUE(user.boxes.empty());
        EXPECT_TRUE(theApp.m_installPath.empty()) << "the registry was read";
    }
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_TRUE(prefix.Calls("xdg-open").empty());
    EXPECT_TRUE(prefix.Calls("wine").empty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Startup,
    ::testing::Values(
        StartCase{"NoArgument", {u"brevlo"}, true, false, u""},
        StartCase{"NoArgumentVector", {}, true, false, u""},
        StartCase{"OtherWord", {u"brevlo", u"markss"}, true, false, u""},
        StartCase{"Prefix", {u"brevlo", u"mark"}, true, false, u""},
        StartCase{"Empty", {u"brevlo", u""}, true, false, u""},
        // Only A-Z fold: full-width letters are another word.
        StartCase{"FullWidth", {u"brevlo", u"ｍａｒｋｓ"}, true, false, u""},
        StartCase{"OtherWordNotInstalled", {u"brevlo", u"other"}, false, false, u""},
        StartCase{"Lower", {u"brevlo", u"marks"}, true, true, u"marks"},
        StartCase{"Capitals", {u"brevlo", u"MARKS"}, true, true, u"MARKS"},
        StartCase{"MixedWithMore", {u"brevlo", u"mArKs", u"x", u"y"}, true, true, u"mArKs"}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

struct LookupCase {
    const char* name;
    std::string userReg;  // sections of user.reg
    bool installed;
    CString installPath;
};

class Lookup : public ::testing::TestWithParam<LookupCase> {
  protected:
    void SetUp() override { app_test::ResetApp(); }
};

std::string Key(const std::string& values) {
    return "\n[Software\\\\Mirvo] 1700000000\n" + values;
}

const std::string k256(256, 'p');

TEST_P(Lookup, FindsTheInstallPathOrSaysItIsMissing) {
    const LookupCase& c = GetParam();
    app_test::Prefix prefix;
    prefix.WriteUserReg(c.userReg);
    app_test::User user;
    size_t opensAtBox = 99;
    user.onBox = [&](const app_test::Box&) { opensAtBox = prefix.Calls("xdg-open").size(); };
    ui::SetArguments({u"brevlo", u"marks"});

    EXPECT_FALSE(theApp.InitInstance());

    if (c.installed) {
        EXPECT_EQ(user.dialogs.size(), 1u);
        ASSERT_EQ(user.boxes.size(), 1u);
        EXPECT_EQ(user.boxes[0].caption, u"MirvoPix");
        EXPECT_EQ(theApp.m_installPath, c.installPath) << Narrow(theApp.m_installPath);
        EXPECT_TRUE(prefix.Calls("xdg-open").empty());
        return;
    }
    EXPECT_TRUE(user.dialogs.empty());
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_EQ(user.boxes[0].text, u"安装失败，本机未安装MirvoPix");
    EXPECT_EQ(user.boxes[0].caption, u"MirvoPix");
    EXPECT_EQ(user.boxes[0].type, MB_ICONERROR | MB_OK);
    EXPECT_EQ(user.boxes[0].owner, nullptr);
    // The home page opens once the message has been closed, not before.
    EXPECT_EQ(opensAtBox, 0u);
    const auto opened = prefix.Calls("xdg-open", 3000);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], (std::vector<std::string>{opened[0][0], "https://www.mirvopix.com/"}));
    EXPECT_TRUE(prefix.Calls("wine").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Registry, Lookup,
    ::testing::Values(
        LookupCase{"NoKey", "", false, u""},
        LookupCase{"OtherKey", "\n[Software\\\\Mirvo2] 1\n\"Install Path\"=\"C:\\\\x\"\n", false,
                   u""},
        LookupCase{"NoValue", Key("\"Version\"=\"2.1\"\n"), false, u""},
        LookupCase{"Plain", Key("\"Install Path\"=\"D:\\\\Apps\\\\Photo\"\n"), true,
                   u"D:\\Apps\\Photo"},
        // The value's type is not looked at.
        LookupCase{"Expandable", Key("\"Install Path\"=str(2):\"D:\\\\Apps\"\n"), true,
                   u"D:\\Apps"},
        // The path ends at its first NUL.
        LookupCase{"EmbeddedNul",
                   Key("\"Install Path\"=hex(1):44,00,3a,00,5c,00,41,00,00,00,42,00,00,00\n"), true,
                   u"D:\\A"},
        // 259 characters fit the buffer with their terminator; 260 do not, with or without.
        LookupCase{"Longest", Key("\"Install Path\"=\"C:\\\\" + k256 + "\"\n"), true,
                   u"C:\\" + platform::FromUtf8(k256)},
        LookupCase{"TooLong", Key("\"Install Path\"=\"C:\\\\" + k256 + "q\"\n"), false, u""},
        LookupCase{"TooLongUnterminated",
                   Key("\"Install Path\"=hex(1):" +
                       [] {
                           std::string bytes;
                           for (int i = 0; i < 260; ++i) bytes += (i ? ",41,00" : "41,00");
                           return bytes;
                       }() +
                       "\n"),
                   false, u""}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

class Version : public ::testing::Test {
  protected:
    void SetUp() override { app_test::ResetApp(); }
};

TEST_F(Version, IsCopiedFromTheProductBeforeTheDialogStarts) {
    app_test::Prefix prefix;
    prefix.RegisterInstallPath("C:\\Program Files\\MirvoPix\\");
    std::filesystem::create_directories(prefix.DriveC("Program Files/MirvoPix"));
    std::filesystem::copy_file(BREVLO_MIRVO_STUB,
                               prefix.DriveC("Program Files/MirvoPix/mirvo.exe"));
    app_test::User user;
    std::vector<uint32_t> atStart;
    user.onReady = [&](CDialog&) {
        atStart.assign(std::begin(theApp.m_productVersion), std::end(theApp.m_productVersion));
    };
    ui::SetArguments({u"brevlo", u"marks"});
    theApp.InitInstance();
    ASSERT_EQ(atStart.size(), 13u);
    // The stand-in product is 2.1.0.7, product version 2.1.0.0, an application.
    EXPECT_EQ(atStart[0], platform::kFixedFileInfoSignature);
    EXPECT_EQ(atStart[kFileVersionHigh], 0x00020001u);
    EXPECT_EQ(atStart[kFileVersionLow], 0x00000007u);
    EXPECT_EQ(atStart[4], 0x00020001u);
    EXPECT_EQ(atStart[5], 0x00000000u);
    EXPECT_EQ(atStart[9], 1u);  // VFT_APP
}

TEST_F(Version, StaysZeroWithoutTheProductFile) {
    app_test::Prefix prefix;
    prefix.RegisterInstallPath(kInstall);
    prefix.Write("prefix/drive_c/Program Files/MirvoPix/mirvo.exe", "not a program");
    app_test::User user;
    ui::SetArguments({u"brevlo", u"marks"});
    theApp.InitInstance();
    EXPECT_EQ(user.dialogs.size(), 1u);
    for (uint32_t word : theApp.m_productVersion) EXPECT_EQ(word, 0u);
    EXPECT_EQ(theApp.ReadProductVersion(), 1);
}

}  // namespace

#endif
