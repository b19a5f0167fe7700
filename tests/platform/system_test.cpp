// System facts and the shell: the contract on both backends, and natively how the version is
// derived from the prefix (the cases below were observed with Wine 8's GetVersionExW) and how
// host tools are started.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scratch_prefix.h"

#ifndef _WIN32
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#endif

namespace {

#ifdef _WIN32
constexpr std::u16string_view kOwnName = u"platform_system_test.exe";
#else
constexpr std::u16string_view kOwnName = u"platform_system_test";
#endif

class SystemContract : public scratch::PrefixSuite<SystemContract> {
  public:
#ifndef _WIN32
    // The scratch prefix says what Wine's fresh prefix says.
    static void Fill(scratch::Prefix& prefix) {
        prefix.WriteSystemReg(
            "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1796626374\n"
            "\"CSDVersion\"=\"Service Pack 1\"\n"
            "\"CurrentBuild\"=\"7601\"\n"
            "\"CurrentBuildNumber\"=\"7601\"\n"
            "\"CurrentVersion\"=\"6.1\"\n"
            "\"SystemRoot\"=\"C:\\\\windows\"\n");
    }
#endif
};

TEST_F(SystemContract, GetVersionExAcceptsOnlyTheTwoLayouts) {
    struct Case {
        uint32_t size;
        bool accepted;
    } cases[] = {{284, true},  {276, true},  {0, false},   {275, false},
                 {277, false}, {283, false}, {285, false}, {1000, false}};
    platform::OsVersionInfo extended;
    extended.size = 284;
    ASSERT_TRUE(platform::QueryOsVersion(extended));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        platform::OsVersionInfo info;
        info.size = c.size;
        EXPECT_EQ(c.accepted, platform::QueryOsVersion(info));
        if (!c.accepted) continue;
        EXPECT_EQ(2u, info.platformId);
        EXPECT_GE(info.majorVersion, 5u);
        EXPECT_EQ(extended.majorVersion, info.majorVersion);
        EXPECT_EQ(extended.minorVersion, info.minorVersion);
        EXPECT_EQ(extended.buildNumber, info.buildNumber);
    }
#ifndef _WIN32
    // Wine 8's fresh prefix reports Windows 7 SP1.
    EXPECT_EQ(6u, extended.majorVersion);
    EXPECT_EQ(1u, extended.minorVersion);
    EXPECT_EQ(7601u, extended.buildNumber);
#endif
}

TEST_F(SystemContract, WindowsDirectory) {
    struct Case {
        uint32_t room;
        uint32_t result;  // characters written, or the room needed
    } cases[] = {{260, 10}, {11, 10}, {10, 11}, {3, 11}, {0, 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        char16_t buffer[260];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        EXPECT_EQ(c.result, platform::GetWindowsFolder(buffer, c.room));
        if (c.result < c.room) {
            EXPECT_EQ(std::u16string(u"C:\\windows"), buffer);
        }
    }
}

TEST_F(SystemContract, ModuleFileName) {
    char16_t buffer[platform::kMaxPath] = {};
    uint32_t length = platform::GetModulePath(buffer, 259);
    ASSERT_GT(length, kOwnName.size() + 3);
    std::u16string name(buffer);
    ASSERT_EQ(length, name.size());
    // A full Windows path: drive letter, colon, backslash, and this program's file name.
    EXPECT_TRUE(name[0] >= u'A' && name[0] <= u'Z');
    EXPECT_EQ(u":\\", name.substr(1, 2));
    EXPECT_EQ(kOwnName, std::u16string_view(name).substr(name.size() - kOwnName.size()));
    EXPECT_EQ(std::u16string::npos, name.find(u'/'));

    // Too small: the size needed comes back and the buffer holds the start, terminated.
    char16_t small[6];
    std::fill(std::begin(small), std::end(small), u'#');
    EXPECT_EQ(length + 1, platform::GetModulePath(small, 5));
    EXPECT_EQ(name.substr(0, 4), std::u16string(small));
    EXPECT_EQ(u'#', small[5]);
    EXPECT_EQ(length + 1, platform::GetModulePath(buffer, length));
    EXPECT_EQ(name.substr(0, length - 1), std::u16string(buffer));
    EXPECT_EQ(length, platform::GetModulePath(buffer, length + 1));
}

TEST_F(SystemContract, Sha256MatchesThePublishedVectors) {
    const std::string million(1000000, 'a');
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        // Whole, and in uneven pieces.
        for (size_t piece : {c.input.size() + 1, size_t{7}, size_t{64}}) {
            platform::Sha256 hash;
            for (size_t at = 0; at < c.input.size(); at += piece)
                ASSERT_TRUE(hash.Update(c.input.data() + at, std::min(piece, c.input.size() - at)));
            EXPECT_EQ(hash.HexDigest(), c.digest) << c.input.substr(0, 8) << " by " << piece;
        }
    }
}

TEST_F(SystemContract, LocalAppDataIsTheProfilesFolder) {
    const CString folder = platform::LocalAppDataFolder();
    ASSERT_TRUE(folder.starts_with(u"C:\\users\\")) << platform::ToUtf8(folder);
    EXPECT_TRUE(folder.ends_with(u"\\AppData\\Local")) << platform::ToUtf8(folder);
}

TEST_F(SystemContract, ShellStartNeedsTheFile) {
    EXPECT_FALSE(platform::ShellStart(scratch::FixturePath(u"missing.exe").c_str(),
                                      scratch::FixturePath().c_str()));
}

// A hint on memory in use, never a discard of it.
TEST(System, AdviseLargePagesKeepsContents) {
    std::vector<uint32_t> block((6u << 20) / 4);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint32_t>(i * 2654435761u);
    platform::AdviseLargePages(block.data() + 3, (block.size() - 5) * 4);
    platform::AdviseLargePages(nullptr, 0);
    for (size_t i = 0; i < block.size(); ++i)
        ASSERT_EQ(block[i], static_cast<uint32_t>(i * 2654435761u)) << i;
}

#ifdef _WIN32

TEST_F(SystemContract, ShellStartsAProgram) {
    // The plain fixture does nothing and ends at once.
    EXPECT_TRUE(platform::ShellStart(scratch::FixturePath(u"plain.exe").c_str(),
                                     scratch::FixturePath().c_str()));
}

#else

// ---- the POSIX model in detail ----------------------------------------------------------------

struct VersionCase {
    const char* what;
    std::string user;    // user.reg sections
    std::string system;  // system.reg sections
    uint32_t major, minor, build, platformId;
};

std::string CurrentVersion(const std::string& values) {
    return "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1\n" + values;
}

std::string WineVersion(const std::string& name) {
    return "[Software\\\\Wine] 1\n\"Version\"=\"" + name + "\"\n";
}

TEST(SystemPosix, VersionThePrefixReports) {
    const std::string win7 =
        CurrentVersion("\"CurrentBuildNumber\"=\"7601\"\n\"CurrentVersion\"=\"6.1\"\n");
    const VersionCase cases[] = {
        {"nothing said", "", "", 6, 1, 7601, 2},
        {"Windows 7", "", win7, 6, 1, 7601, 2},
        {"Windows XP", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"2600\"\n\"CurrentVersion\"=\"5.1\"\n"), 5, 1,
         2600, 2},
        // Programs without a manifest entry for Windows 8.1 or later are told 6.2.
        {"Windows 10 (winecfg)", "",
         CurrentVersion(
             "\"CurrentBuildNumber\"=\"18362\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"
             "\"CurrentMinorVersionNumber\"=dword:00000000\n\"CurrentVersion\"=\"10.0\"\n"),
         6, 2, 9200, 2},
        {"Windows 8.1", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"9600\"\n\"CurrentVersion\"=\"6.3\"\n"), 6, 2,
         9200, 2},
        {"Windows 8", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"9200\"\n\"CurrentVersion\"=\"6.2\"\n"), 6, 2,
         9200, 2},
        {"blanks and trailing text", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"3790\"\n\"CurrentVersion\"=\" 5.2x\"\n"), 5, 2,
         3790, 2},
        {"major only", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"2600\"\n\"CurrentVersion\"=\"5\"\n"), 5, 0, 2600,
         2},
        {"three parts", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"2600\"\n\"CurrentVersion\"=\"5.1.7\"\n"), 5, 1,
         2600, 2},
        {"no build number", "",
         CurrentVersion("\"CurrentVersion\"=\"5.1\"\n\"CurrentBuild\"=\"1234\"\n"), 5, 1, 0, 2},
        {"build with trailing text", "",
         CurrentVersion("\"CurrentBuildNumber\"=\"12ab\"\n\"CurrentVersion\"=\"5.1\"\n"), 5, 1, 12,
         2},
        {"version words are not read", "",
         CurrentVersion(
             "\"CurrentBuildNumber\"=\"2600\"\n\"CurrentMajorVersionNumber\"=dword:00000005\n"
             "\"CurrentMinorVersionNumber\"=dword:00000001\n\"CurrentVersion\"=\"6.0\"\n"),
         6, 0, 2600, 2},
        {"only version words", "",
         CurrentVersion("\"CurrentMajorVersionNumber\"=dword:00000005\n"
                        "\"CurrentMinorVersionNumber\"=dword:00000001\n"),
         6, 1, 7601, 2},
        {"garbage version", "", CurrentVersion("\"CurrentVersion\"=\"garbage\"\n"), 6, 1, 7601, 2},
        {"version of the wrong type", "", CurrentVersion("\"CurrentVersion\"=dword:00000005\n"), 6,
         1, 7601, 2},
        {"prefix setting winxp", WineVersion("winxp"), win7, 5, 1, 2600, 2},
        {"prefix setting win2k", WineVersion("win2k"), win7, 5, 0, 2195, 2},
        {"prefix setting vista", WineVersion("vista"), win7, 6, 0, 6002, 2},
        {"prefix setting win10", WineVersion("win10"), win7, 6, 2, 9200, 2},
        {"prefix setting win98", WineVersion("win98"), win7, 4, 10, 0x040A08AE, 1},
        {"prefix setting win95", WineVersion("win95"), win7, 4, 0, 0x040003B6, 1},
        {"prefix setting win31", WineVersion("win31"), win7, 3, 10, 0, 0},
        {"setting names have case", WineVersion("WinXP"),
         CurrentVersion("\"CurrentBuildNumber\"=\"6002\"\n\"CurrentVersion\"=\"6.0\"\n"), 6, 0,
         6002, 2},
        {"unknown setting", WineVersion("win11"), win7, 6, 1, 7601, 2},
        {"this program's own setting first",
         WineVersion("winxp") + "[Software\\\\Wine\\\\AppDefaults\\\\platform_system_test.exe] 1\n"
                                "\"Version\"=\"win2003\"\n",
         win7, 5, 2, 3790, 2},
    };
    scratch::Prefix prefix;
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.what);
        prefix.WriteUserReg(c.user);
        prefix.WriteSystemReg(c.system);
        for (uint32_t size : {284u, 276u}) {
            platform::OsVersionInfo info;
            info.size = size;
            ASSERT_TRUE(platform::QueryOsVersion(info));
            EXPECT_EQ(c.major, info.majorVersion);
            EXPECT_EQ(c.minor, info.minorVersion);
            EXPECT_EQ(c.build, info.buildNumber);
            EXPECT_EQ(c.platformId, info.platformId);
        }
    }
    // Without any registry file Wine's default still stands.
    std::filesystem::remove(prefix.Path() + "/user.reg");
    std::filesystem::remove(prefix.Path() + "/system.reg");
    platform::OsVersionInfo info;
    info.size = 284;
    ASSERT_TRUE(platform::QueryOsVersion(info));
    EXPECT_EQ(6u, info.majorVersion);
    EXPECT_EQ(1u, info.minorVersion);
}

TEST(SystemPosix, ModuleFileNameMapsBack) {
    scratch::Prefix prefix;
    char16_t buffer[platform::kMaxPath] = {};
    ASSERT_GT(platform::GetModulePath(buffer, 259), 0u);
    char real[PATH_MAX];
    ASSERT_NE(nullptr, ::realpath("/proc/self/exe", real));
    EXPECT_EQ(std::string(real), platform::WindowsToHostPath(buffer));
}

// Fake host tools in a folder that PATH holds alone while the test runs. Each writes what it
// was given (its folder, then one argument a line) to `<name>.out` and exits with the code in
// `<name>.code`, if that file exists.
class HostTools : public ::testing::Test {
  protected:
    void SetUp() override {
        bin_ = prefix_.Path() + "/bin";
        std::filesystem::create_directories(bin_);
        const char* path = std::getenv("PATH");
        oldPath_ = path ? path : "";
        ::setenv("PATH", bin_.c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", oldPath_.c_str(), 1); }

    void AddTool(const std::string& name, int code = 0) {
        std::string file = bin_ + "/" + name;
        std::ofstream(file)
            << "#!/bin/sh\n"
               "{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"$0.tmp\"\n"
               "/bin/mv \"$0.tmp\" \"$0.out\"\n"
               "exit "
            << code << "\n";
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }

    // What the tool wrote, waiting for it up to five seconds.
    std::vector<std::string> Output(const std::string& name) {
        std::string file = bin_ + "/" + name + ".out";
        for (int i = 0; i < 250 && !std::filesystem::exists(file); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    scratch::Prefix prefix_;
    std::string bin_;
    std::string oldPath_;
};

TEST_F(HostTools, ShellOpenRunsXdgOpen) {
    EXPECT_FALSE(platform::ShellOpen(u"https://www.mirvo.example/"));  // no xdg-open at all
    AddTool("xdg-open");
    EXPECT_TRUE(platform::ShellOpen(u"https://www.mirvo.example/中文"));
    std::vector<std::string> got = Output("xdg-open");
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("https://www.mirvo.example/中文", got[1]);
    AddTool("xdg-open", 4);  // xdg-open's "the action failed"
    EXPECT_FALSE(platform::ShellOpen(u"https://www.mirvo.example/"));
}

TEST_F(HostTools, ShellStartRunsWineInTheFolder) {
    std::filesystem::create_directories(prefix_.Path() + "/drive_c/Mirvo Pix");
    prefix_.Write("drive_c/Mirvo Pix/mirvo.exe", "MZ");
    const char16_t* file = u"C:\\Mirvo Pix\\\\mirvo.exe";  // as joined by plain concatenation
    EXPECT_FALSE(platform::ShellStart(file, u"C:\\Mirvo Pix\\"));  // no wine at all
    AddTool("wine");
    EXPECT_TRUE(platform::ShellStart(file, u"c:\\mirvo pix\\"));
    std::vector<std::string> got = Output("wine");
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(std::filesystem::canonical(prefix_.Path() + "/drive_c/Mirvo Pix").string(),
              std::filesystem::canonical(got[0]).string());
    EXPECT_EQ("C:\\Mirvo Pix\\\\mirvo.exe", got[1]);
    EXPECT_FALSE(platform::ShellStart(u"C:\\Mirvo Pix\\other.exe", u"C:\\Mirvo Pix"));
    EXPECT_FALSE(platform::ShellStart(file, u"C:\\No Such Folder"));
}

#endif

}  // namespace
