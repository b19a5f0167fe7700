// AppendPath and CombinePath against one table that passes both natively and with Wine's
// shlwapi, and (natively) the mapping between Windows paths and host paths of a Wine prefix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/platform_temp.h"

using platform::kMaxPath;

namespace {

std::string Show(std::u16string_view text) {
    return platform::ToUtf8(text);
}

// "C:\" then runs of 'd' split by backslashes, `length` characters, not ending in one.
CString LongFolder(size_t length) {
    CString path = u"C:\\";
    while (path.size() < length) {
        path += u'd';
        if (path.size() % 10 == 0 && path.size() < length - 1) path += u'\\';
    }
    return path.substr(0, length);
}

enum class Op { Append, Combine };

struct PathCase {
    Op op;
    const char16_t* folder;  // null passes null
    const char16_t* more;
    bool ok;
    const char16_t* expected;
};

// Wine's shlwapi gives these, our POSIX backend must give the same.
const PathCase kPathCases[] = {
    {Op::Append, u"C:\\Apps\\Photo", u"data\\marks", true, u"C:\\Apps\\Photo\\data\\marks"},
    {Op::Append, u"C:\\Apps\\Photo\\", u"data\\marks", true, u"C:\\Apps\\Photo\\data\\marks"},
    {Op::Append, u"E:\\Pack\\setup.exe", u"..\\marks", true, u"E:\\Pack\\marks"},
    {Op::Append, u"C:\\a\\b", u"..", true, u"C:\\a"},
    {Op::Append, u"C:\\a\\b\\c", u"..\\..", true, u"C:\\a"},
    {Op::Append, u"C:\\a", u"..\\..\\x", true, u"C:\\x"},
    {Op::Append, u"C:\\", u"..", true, u"C:\\"},
    {Op::Append, u"C:\\a\\", u"..\\", true, u"C:\\"},
    {Op::Append, u"C:\\a\\b", u".", true, u"C:\\a\\b\\."},
    {Op::Append, u"C:\\a\\b", u".\\c", true, u"C:\\a\\b\\c"},
    {Op::Append, u"C:\\a\\.\\b", u"c", true, u"C:\\a\\b\\c"},
    {Op::Append, u"C:\\a\\b", u"x\\..\\y", true, u"C:\\a\\b\\y"},
    {Op::Append, u"C:\\a\\b", u"x..", true, u"C:\\a\\b\\x.."},
    {Op::Append, u"C:\\", u"marks", true, u"C:\\marks"},
    {Op::Append, u"C:", u"marks", true, u"C:\\marks"},
    {Op::Append, u"\\", u"x", true, u"\\x"},
    {Op::Append, u"C:\\a", u"\\marks", true, u"C:\\a\\marks"},
    {Op::Append, u"C:\\a", u"\\\\marks", true, u"\\\\marks"},
    {Op::Append, u"C:\\a", u"", true, u"C:\\a"},
    {Op::Append, u"C:\\a", u"b\\", true, u"C:\\a\\b\\"},
    {Op::Append, u"C:\\a", u"D:\\x", true, u"D:\\x"},
    {Op::Append, u"\\\\server\\share", u"x", true, u"\\\\server\\share\\x"},
    {Op::Append, u"\\\\server\\share", u"..", true, u"\\\\server"},
    {Op::Append, u"", u"x", true, u"x"},
    {Op::Append, u"a", u"b", true, u"a\\b"},
    {Op::Append, u"C:\\\u4e2d\u6587", u"\u6570\u636e\\marks", true,
     u"C:\\\u4e2d\u6587\\\u6570\u636e\\marks"},
    {Op::Combine, u"C:\\Program Files\\Mirvo", u"mirvo.exe", true,
     u"C:\\Program Files\\Mirvo\\mirvo.exe"},
    {Op::Combine, u"C:\\Program Files\\Mirvo\\", u"mirvo.exe", true,
     u"C:\\Program Files\\Mirvo\\mirvo.exe"},
    {Op::Combine, u"C:\\a\\b", u"\\x", true, u"C:\\x"},
    {Op::Combine, u"\\\\srv\\share\\dir", u"\\x", true, u"\\\\srv\\share\\x"},
    {Op::Combine, u"C:\\a\\b", u"..\\..\\..\\c", true, u"C:\\c"},
    {Op::Combine, u"C:\\a\\..", u"x", true, u"C:\\x"},
    {Op::Combine, u"C:", u"x", true, u"C:\\x"},
    {Op::Combine, u"C:\\a", u"\\\\srv\\share", true, u"\\\\srv\\share"},
    {Op::Combine, u"C:\\a", u"D:x", true, u"D:x"},
    {Op::Combine, u"C:\\a", u"", true, u"C:\\a"},
    {Op::Combine, u"", u"x", true, u"x"},
    {Op::Combine, u"", u"", true, u"\\"},
    {Op::Combine, nullptr, u"x", true, u"x"},
    {Op::Combine, u"C:\\a", nullptr, true, u"C:\\a"},
    {Op::Combine, nullptr, nullptr, false, u""},
};

bool Join(Op op, char16_t* buffer, const char16_t* folder, const char16_t* more) {
    if (op == Op::Append) {
        CString start(folder);
        std::copy(start.begin(), start.end(), buffer);
        buffer[start.size()] = 0;
        return platform::AppendPath(buffer, more);
    }
    return platform::CombinePath(buffer, folder, more);
}

TEST(Paths, AppendAndCombineAgreeWithShlwapi) {
    for (const PathCase& c : kPathCases) {
        char16_t buffer[kMaxPath + 8];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        bool ok = Join(c.op, buffer, c.folder, c.more);
        SCOPED_TRACE((c.op == Op::Append ? "append " : "combine ") +
                     (c.folder ? Show(c.folder) : "null") + " + " +
                     (c.more ? Show(c.more) : "null"));
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(Show(buffer), Show(c.expected));
    }
}

// The limit applies to the joined text, before "." and ".." are resolved; a failed join
// leaves an empty buffer.
TEST(Paths, ResultsMustFitInMaxPath) {
    struct LengthCase {
        size_t folder;  // length of a folder without a trailing backslash
        CString more;
        bool ok;
    };
    const LengthCase cases[] = {
        {250, CString(8, u'y'), true},   // 259 characters
        {250, CString(9, u'y'), false},  // 260
        {257, u"y", true},               // 259
        {258, u"y", false},              // 260
        {258, u"", true},                // nothing to join
        {259, u"", true},
        {240, CString(19, u'y'), false},  // 260
        {250, u"x\\..\\yyyyy", false},    // 261 before the ".." goes away
    };
    for (const LengthCase& c : cases) {
        const CString folder = LongFolder(c.folder);
        const CString expected =
            c.ok ? (c.more.empty() ? folder : folder + u"\\" + c.more) : CString();
        for (Op op : {Op::Append, Op::Combine}) {
            SCOPED_TRACE(std::to_string(c.folder) + " + " + Show(c.more) +
                         (op == Op::Append ? " (append)" : " (combine)"));
            char16_t buffer[kMaxPath];
            bool ok = Join(op, buffer, folder.c_str(), c.more.c_str());
            EXPECT_EQ(ok, c.ok);
            EXPECT_EQ(Show(buffer), Show(expected));
            if (ok) {
                EXPECT_LT(CString(buffer).size(), static_cast<size_t>(kMaxPath));
            }
        }
    }
    // With a trailing backslash the folder brings its own separator.
    char16_t buffer[kMaxPath];
    CString folder = LongFolder(257) + u"\\";
    EXPECT_TRUE(Join(Op::Append, buffer, folder.c_str(), u"y"));
    EXPECT_EQ(CString(buffer).size(), 259u);
    folder = LongFolder(258) + u"\\";
    EXPECT_FALSE(Join(Op::Append, buffer, folder.c_str(), u"y"));
}

#ifndef _WIN32

}  // namespace

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A scratch Wine prefix with c: -> drive_c, d: -> a folder elsewhere and no z: link.
class PrefixPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "brevlo-paths-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern);
        prefix_ = root_ / "prefix";
        other_ = root_ / "elsewhere";
        fs::create_directories(prefix_ / "dosdevices");
        fs::create_directories(prefix_ / "drive_c" / "Program Files" / "Mirvo");
        fs::create_directories(other_);
        fs::create_directory_symlink("../drive_c", prefix_ / "dosdevices" / "c:");
        fs::create_directory_symlink(other_, prefix_ / "dosdevices" / "d:");
        if (const char* old = std::getenv("WINEPREFIX")) saved_ = old, hadSaved_ = true;
        ::setenv("WINEPREFIX", prefix_.c_str(), 1);
    }
    void TearDown() override {
        if (hadSaved_) {
            ::setenv("WINEPREFIX", saved_.c_str(), 1);
        } else {
            ::unsetenv("WINEPREFIX");
        }
        fs::remove_all(root_);
    }

    fs::path root_, prefix_, other_;
    std::string saved_;
    bool hadSaved_ = false;
};

TEST_F(PrefixPaths, WindowsPathsReachTheHostThroughTheDrives) {
    const std::string driveC = (prefix_ / "drive_c").string();
    struct Case {
        const char16_t* windows;
        std::string host;
    };
    const Case cases[] = {
        {u"C:\\windows\\win.ini", driveC + "/windows/win.ini"},
        {u"c:\\", driveC},
        {u"C:", driveC},
        {u"C:\\a\\..\\b\\.\\c", driveC + "/b/c"},
        {u"C:\\a\\..\\..\\..\\b", driveC + "/b"},
        {u"C:\\a\\\\b\\", driveC + "/a/b"},
        // Existing names are found without regard to case, new ones keep their spelling.
        {u"C:\\PROGRAM FILES\\mirvo\\New.txt", driveC + "/Program Files/Mirvo/New.txt"},
        {u"D:\\x\\y", other_.string() + "/x/y"},
        {u"Z:\\usr\\bin", "/usr/bin"},  // no z: link: the host root
        {u"/usr/bin", "/usr/bin"},
        {u"/usr\\bin", "/usr/bin"},
        {u"Q:\\x", prefix_.string() + "/dosdevices/q:/x"},  // no such drive
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::WindowsToHostPath(c.windows), c.host) << Show(c.windows);
    }
}

TEST_F(PrefixPaths, HostPathsMapToTheDeepestDrive) {
    EXPECT_EQ(Show(platform::HostToWindowsPath((prefix_ / "drive_c" / "windows").string())),
              "C:\\windows");
    EXPECT_EQ(Show(platform::HostToWindowsPath((prefix_ / "drive_c").string())), "C:\\");
    EXPECT_EQ(Show(platform::HostToWindowsPath((other_ / "new file").string())), "D:\\new file");
    EXPECT_EQ(Show(platform::HostToWindowsPath("/usr/bin")), "Z:\\usr\\bin");
    EXPECT_EQ(Show(platform::HostToWindowsPath("/")), "Z:\\");
    // Through a link to the drive's folder, and relative to the working folder.
    fs::create_directory_symlink(prefix_ / "drive_c", root_ / "link");
    EXPECT_EQ(Show(platform::HostToWindowsPath((root_ / "link" / "x").string())), "C:\\x");
    const fs::path cwd = fs::current_path();
    fs::current_path(other_);
    EXPECT_EQ(Show(platform::HostToWindowsPath("sub/../file")), "D:\\file");
    fs::current_path(cwd);
    // A z: link in the prefix is used like any other drive.
    fs::create_directory_symlink("/", prefix_ / "dosdevices" / "z:");
    EXPECT_EQ(Show(platform::HostToWindowsPath("/usr/bin")), "Z:\\usr\\bin");
    EXPECT_EQ(platform::WindowsToHostPath(u"Z:\\usr\\bin"), "/usr/bin");
}

TEST_F(PrefixPaths, RoundTrip) {
    for (const fs::path& host : {prefix_ / "drive_c" / "Program Files" / "Mirvo" / "config.xml",
                                 other_ / "\xe4\xb8\xad\xe6\x96\x87.xml", fs::path("/usr/lib")}) {
        CString windows = platform::HostToWindowsPath(host.string());
        EXPECT_EQ(platform::WindowsToHostPath(windows.c_str()), host.string()) << Show(windows);
    }
}

#endif  // !_WIN32

}  // namespace
