#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "import/copy_tree.h"
#include "platform/platform.h"
#include "support/platform_temp.h"
#include "support/xml_checker.h"

namespace {

namespace fs = std::filesystem;
using platform_test::HostOf;
using platform_test::TempFolder;
using platform_test::WriteBytes;

// Every entry below `root` by relative path: folders as "/", files as their bytes.
std::map<std::string, std::string> Tree(const CString& root) {
    std::map<std::string, std::string> out;
    const fs::path base = HostOf(root);
    for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), base).generic_string();
        if (it->is_symlink()) {
            out[rel] = "link";
            it.disable_recursion_pending();
        } else if (it->is_directory()) {
            out[rel] = "/";
        } else {
            out[rel] = platform_test::ReadBytes(root + u"\\" + Widen(rel));
        }
    }
    return out;
}

TEST(CopyTree, Shapes) {
    struct Shape {
        const char* what;
        std::map<std::string, std::string> source;       // "/" marks a folder
        std::map<std::string, std::string> destination;  // present before the copy
        std::map<std::string, std::string> expected;
    };
    const Shape shapes[] = {
        {"empty source", {}, {}, {}},
        {"empty subfolder", {{"e", "/"}}, {}, {{"e", "/"}}},
        {"three levels",
         {{"a", "/"}, {"a/b", "/"}, {"a/b/c", "/"}, {"a/b/c/f.png", "deep"}, {"top.txt", "t"}},
         {},
         {{"a", "/"}, {"a/b", "/"}, {"a/b/c", "/"}, {"a/b/c/f.png", "deep"}, {"top.txt", "t"}}},
        {"existing files keep their content, missing ones are added",
         {{"x.png", "new x"}, {"y.png", "new y"}, {"d", "/"}, {"d/z.png", "new z"}},
         {{"x.png", "old x"}, {"d", "/"}},
         {{"x.png", "old x"}, {"y.png", "new y"}, {"d", "/"}, {"d/z.png", "new z"}}},
        {"a file where the pack has a folder: nothing goes into it",
         {{"f", "/"}, {"f/inner.png", "i"}, {"g.png", "g"}},
         {{"f", "a file"}},
         {{"f", "a file"}, {"g.png", "g"}}},
        {"names with spaces and Chinese",
         {{"\xe5\xa4\x8f \xe6\x97\xa5", "/"}, {"\xe5\xa4\x8f \xe6\x97\xa5/\xe6\xb5\xb7.png", "s"}},
         {},
         {{"\xe5\xa4\x8f \xe6\x97\xa5", "/"}, {"\xe5\xa4\x8f \xe6\x97\xa5/\xe6\xb5\xb7.png", "s"}}},
        {"a name in another case is the entry already there",
         {{"X.PNG", "new"}, {"Sub", "/"}, {"Sub/a.png", "a"}, {"Sub/B.png", "b"}},
         {{"x.png", "old"}, {"sub", "/"}, {"sub/b.PNG", "old b"}},
         {{"x.png", "old"}, {"sub", "/"}, {"sub/a.png", "a"}, {"sub/b.PNG", "old b"}}},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.what);
        TempFolder src, dst;
        auto make = [](const CString& root, const std::map<std::string, std::string>& entries) {
            for (const auto& [rel, content] : entries) {
                const CString path = root + u"\\" + Widen(rel);
                if (content == "/")
                    fs::create_directories(HostOf(path));
                else
                    WriteBytes(path, content);
            }
        };
        make(src.Path(), s.source);
        make(dst.Path(), s.destination);
        CopyTree(src.Path(), dst.Path(), 0);
        EXPECT_EQ(Tree(dst.Path()), s.expected);
    }
}

TEST(CopyTree, ExistingFileKeepsItsTimeAndOverwriteReplaces) {
    TempFolder src, dst;
    WriteBytes(src / u"a.png", "pack");
    WriteBytes(dst / u"a.png", "product");
    fs::last_write_time(HostOf(dst / u"a.png"),
                        fs::last_write_time(HostOf(dst / u"a.png")) - std::chrono::hours(30));
    const auto old = fs::last_write_time(HostOf(dst / u"a.png"));
    CopyTree(src.Path(), dst.Path(), 0);
    EXPECT_EQ(platform_test::ReadBytes(dst / u"a.png"), "product");
    EXPECT_EQ(fs::last_write_time(HostOf(dst / u"a.png")), old);
    CopyTree(src.Path(), dst.Path(), 1);
    EXPECT_EQ(platform_test::ReadBytes(dst / u"a.png"), "pack");
}

TEST(CopyTree, HiddenAndSystemFilesAreCopied) {
    TempFolder src, dst;
    WriteBytes(src / u".hidden.png", "h");
    WriteBytes(src / u"system.png", "s");
    platform_test::MakeHidden(src / u".hidden.png");
    platform_test::MakeHidden(src / u"system.png");
    CopyTree(src.Path(), dst.Path(), 0);
    EXPECT_EQ(platform_test::ReadBytes(dst / u".hidden.png"), "h");
    EXPECT_EQ(platform_test::ReadBytes(dst / u"system.png"), "s");
}

TEST(CopyTree, MissingSourceOrDestinationWritesNothing) {
    TempFolder src, dst;
    WriteBytes(src / u"a.png", "a");
    CopyTree(src / u"none", dst.Path(), 0);
    EXPECT_TRUE(Tree(dst.Path()).empty());
    CopyTree(src.Path(), dst / u"none", 0);
    EXPECT_TRUE(Tree(dst.Path()).empty());
}

TEST(CopyTree, CopiesWhatTheLookChecked) {
    TempFolder src, dst;
    WriteBytes(src / u"a.png", "a");
    platform::Folder from, to;
    ASSERT_TRUE(from.Open(src.Path().c_str()) && to.Open(dst.Path().c_str()));
    {
        platform::Staging staging(to);
        CopyRefusal refusal;
        PackListings listings;
        ASSERT_TRUE(CheckCopy(from, to, staging, refusal, &listings));
        if (listings.folders.empty()) GTEST_SKIP() << "the system gives no folder identities";
        WriteBytes(src / u"late.png", "came after the look");
        EXPECT_TRUE(CopyFolderTree(from, to, 0, staging, CString(), nullptr, nullptr, &listings));
    }
    EXPECT_EQ(Tree(dst.Path()), (std::map<std::string, std::string>{{"a.png", "a"}}));
}

#ifndef _WIN32
TEST(CopyTree, LinksAreNeverFollowed) {
    TempFolder src, dst, outside;
    WriteBytes(outside / u"secret.txt", "outside the pack");
    fs::create_directories(HostOf(src / u"d"));
    WriteBytes(src / u"d\\f.png", "f");
    fs::create_directory_symlink(HostOf(src.Path()), HostOf(src / u"d\\loop"));
    fs::create_directory_symlink(HostOf(outside.Path()), HostOf(src / u"away"));
    fs::create_symlink(HostOf(outside / u"secret.txt"), HostOf(src / u"secret.txt"));
    CopyTree(src.Path(), dst.Path(), 0);
    const std::map<std::string, std::string> expected{{"d", "/"}, {"d/f.png", "f"}};
    EXPECT_EQ(Tree(dst.Path()), expected);
}
#endif

}  // namespace
