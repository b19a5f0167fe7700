// The real FileSystem, CreateFolder, CopyFile and FileFind on temporary folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/platform_temp.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using platform::Files;
using platform::GetLastError;
using platform_test::Exists;
using platform_test::ReadBytes;
using platform_test::TempFolder;
using platform_test::WriteBytes;

namespace fs = std::filesystem;

std::string Show(std::u16string_view text) {
    return platform::ToUtf8(text);
}

CString FolderOf(const CString& path) {
    return path.substr(0, path.find_last_of(u'\\'));
}

std::string ReadAll(const CString& path) {
    platform::File* file = Files().OpenRead(path.c_str());
    if (!file) return "<cannot open>";
    int64_t size = -1;
    EXPECT_TRUE(Files().Size(file, size));
    std::string bytes(static_cast<size_t>(size) + 16, '\0');
    size_t done = 0;
    EXPECT_TRUE(Files().Read(file, bytes.data(), bytes.size(), done));
    EXPECT_EQ(done, static_cast<size_t>(size));  // a short read at the end is no error
    EXPECT_TRUE(Files().Close(file));
    bytes.resize(done);
    return bytes;
}

TEST(FileSystem, SaveThroughATemporaryFileInTheSameFolder) {
    TempFolder folder;
    const CString target = folder / u"config.xml";
    WriteBytes(target, "old content");

    CString temporary;
    platform::File* file = Files().CreateTemporary(target.c_str(), temporary);
    ASSERT_NE(file, nullptr) << Show(platform::SystemErrorText());
    EXPECT_EQ(FolderOf(temporary), folder.Path());
    EXPECT_NE(temporary, target);
    EXPECT_TRUE(Exists(temporary));
    EXPECT_EQ(ReadBytes(target), "old content");  // nothing touched yet

    // A second one has another name, even for the same target.
    CString second;
    platform::File* other = Files().CreateTemporary(target.c_str(), second);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(second, temporary);
    EXPECT_TRUE(Files().Close(other));
    EXPECT_TRUE(Files().Remove(second.c_str()));
    EXPECT_FALSE(Exists(second));

    const std::string content = "<a>\r\n\xd6\xd0</a>\r\n";
    EXPECT_TRUE(Files().Write(file, content.data(), content.size()));
    EXPECT_TRUE(Files().Write(file, "", 0));
    EXPECT_TRUE(Files().Flush(file));
    EXPECT_TRUE(Files().Close(file));
    EXPECT_TRUE(Files().Replace(temporary.c_str(), target.c_str()));
    EXPECT_FALSE(Exists(temporary));
    EXPECT_EQ(ReadAll(target), content);

    // Replace also works when nothing is there yet.
    const CString fresh = folder / u"fresh.xml";
    file = Files().CreateTemporary(fresh.c_str(), temporary);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(Files().Close(file));
    EXPECT_TRUE(Files().Replace(temporary.c_str(), fresh.c_str()));
    EXPECT_EQ(ReadAll(fresh), "");

    // Only the two files are left: no temporary stays behind.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(platform_test::HostOf(folder.Path()))) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, (std::set<std::string>{"config.xml", "fresh.xml"}));
}

TEST(FileSystem, FailuresSetTheLastError) {
    TempFolder folder;
    CString temporary;
    const CString noFolder = folder / u"missing\\config.xml";
    EXPECT_EQ(Files().CreateTemporary(noFolder.c_str(), temporary), nullptr);
    EXPECT_EQ(GetLastError(), platform::kErrorPathNotFound);
    EXPECT_FALSE(platform::SystemErrorText().empty());

    const CString missing = folder / u"missing.xml";
    EXPECT_EQ(Files().OpenRead(missing.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(Files().Remove(missing.c_str()));
    EXPECT_EQ(GetLastError(), platform::kErrorFileNotFound);
    const CString target = folder / u"t.xml";
    EXPECT_FALSE(Files().Replace(missing.c_str(), target.c_str()));
    EXPECT_EQ(GetLastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(Exists(target));

    // A folder is not a file to read.
    EXPECT_EQ(Files().OpenRead(folder.Path().c_str()), nullptr);
    EXPECT_EQ(GetLastError(), platform::kErrorAccessDenied);
}

TEST(FileSystem, ATestDoubleStandsInUntilRemoved) {
    struct Refusing : platform::FileSystem {
        platform::File* OpenRead(const char16_t*) override {
            platform::SetLastError(platform::kErrorSharingViolation);
            return nullptr;
        }
        platform::File* CreateTemporary(const char16_t*, CString&) override { return nullptr; }
        bool Size(platform::File*, int64_t&) override { return false; }
        bool Read(platform::File*, void*, size_t, size_t&) override { return false; }
        bool Write(platform::File*, const void*, size_t) override { return false; }
        bool Flush(platform::File*) override { return false; }
        bool Close(platform::File*) override { return false; }
        bool Replace(const char16_t*, const char16_t*) override { return false; }
        bool Remove(const char16_t*) override { return false; }
    } refusing;
    platform::FileSystem* real = &Files();
    EXPECT_EQ(platform::SetFilesForTest(&refusing), real);
    EXPECT_EQ(&Files(), &refusing);
    EXPECT_EQ(Files().OpenRead(u"C:\\x"), nullptr);
    EXPECT_EQ(GetLastError(), platform::kErrorSharingViolation);
    EXPECT_EQ(platform::SetFilesForTest(nullptr), &refusing);
    EXPECT_EQ(&Files(), real);
}

TEST(Folders, CreateDirectoryMakesOneLevel) {
    TempFolder folder;
    const CString fresh = folder / u"marks";
    EXPECT_TRUE(platform::CreateFolder(fresh.c_str()));
    EXPECT_TRUE(fs::is_directory(platform_test::HostOf(fresh)));

    struct Case {
        CString path;
        uint32_t error;
    };
    WriteBytes(folder / u"file", "x");
    const Case failures[] = {
        {fresh, platform::kErrorAlreadyExists},
        {folder / u"MARKS", platform::kErrorAlreadyExists},  // names match without case
        {folder / u"file", platform::kErrorAlreadyExists},   // a file of that name
        {folder / u"no\\deeper", platform::kErrorPathNotFound},
        {folder / u"file\\below", platform::kErrorPathNotFound},
    };
    for (const Case& c : failures) {
        platform::SetLastError(0);
        EXPECT_FALSE(platform::CreateFolder(c.path.c_str())) << Show(c.path);
        EXPECT_EQ(GetLastError(), c.error) << Show(c.path);
    }
    EXPECT_FALSE(Exists(folder / u"no"));
}

// Stages one file into `to`'s folder and commits it.
bool CopyOne(const CString& from, const CString& to, bool failIfExists) {
    platform::Folder source, destination;
    if (!source.Open(FolderOf(from).c_str()) || !destination.Open(FolderOf(to).c_str()))
        return false;
    const auto name = [](const CString& path) { return path.substr(path.rfind(u'\\') + 1); };
    platform::Staging staging(destination);
    return staging.StageCopy(source, name(from), destination, name(to), !failIfExists) &&
           staging.Commit();
}

TEST(Folders, StagedCopiesKeepTimeAndAttributesAndSayWhyNot) {
    TempFolder folder;
    const CString source = folder / u"source.jpg";
    const CString target = folder / u"target.jpg";
    const std::string content("\x89PNG\r\n\x1a\n\0\xff", 10);
    WriteBytes(source, content);
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
    fs::last_write_time(platform_test::HostOf(source), past);
    // A file on a CD is read-only: it is copied all the same, and stays read-only.
    platform_test::MakeReadOnly(source);

    EXPECT_TRUE(CopyOne(source, target, true)) << Show(platform::SystemErrorText());
    EXPECT_EQ(ReadBytes(target), content);
    EXPECT_TRUE(platform_test::IsReadOnly(target));
    auto copied = fs::last_write_time(platform_test::HostOf(target));
    EXPECT_LT(std::chrono::abs(copied - past), std::chrono::seconds(2));
    EXPECT_FALSE(CopyOne(source, folder / u"TARGET.JPG", true));  // names match without case
    EXPECT_EQ(GetLastError(), platform::kErrorFileExists);

    struct Case {
        CString from, to;
        uint32_t error;
    };
    const Case failures[] = {
        {folder / u"missing", folder / u"x", platform::kErrorFileNotFound},
        {folder / u"no\\missing", folder / u"x", platform::kErrorPathNotFound},
        {source, folder / u"no\\x", platform::kErrorPathNotFound},
    };
    for (const Case& c : failures) {
        EXPECT_FALSE(CopyOne(c.from, c.to, true)) << Show(c.from);
        EXPECT_EQ(GetLastError(), c.error) << Show(c.from) << " -> " << Show(c.to);
    }
    EXPECT_FALSE(Exists(folder / u"x"));
    EXPECT_FALSE(Exists(folder / platform::kStagingFolderName));
}

// The save keeps what the catalog is: its attributes, owner and mode, and a link stays a link.
TEST(FileSystem, TheSaveKeepsTheCatalogsIdentityAndRefusesAReadOnlyOne) {
    TempFolder folder;
    auto save = [&](const CString& target, const std::string& bytes) {
        CString temporary;
        platform::File* file = Files().CreateTemporary(target.c_str(), temporary);
        if (!file) return false;
        EXPECT_LE(temporary.size() - temporary.find_last_of(u'\\'), 9u) << Show(temporary);
        const bool ok = Files().Write(file, bytes.data(), bytes.size()) && Files().Close(file);
        return ok && Files().Replace(temporary.c_str(), target.c_str());
    };
    const CString real = folder / u".real.xml";
    WriteBytes(real, "old");
    platform_test::MakeHidden(real);
    CString target = real;
#ifndef _WIN32
    const fs::path host = platform_test::HostOf(folder.Path());
    fs::permissions(host / ".real.xml", fs::perms(0640));
    const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();  // another user's, when root
    ASSERT_EQ(::chown((host / ".real.xml").c_str(), owner, static_cast<gid_t>(-1)), 0);
    fs::create_symlink(".real.xml", host / "config.xml");
    target = folder / u"config.xml";
#endif
    ASSERT_TRUE(save(target, "new")) << Show(platform::SystemErrorText());
    EXPECT_EQ(ReadBytes(real), "new");
    EXPECT_TRUE(platform_test::IsHidden(real));
#ifndef _WIN32
    EXPECT_TRUE(fs::is_symlink(host / "config.xml"));
    struct stat st;
    ASSERT_EQ(::stat((host / ".real.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
#endif
    // A read-only catalog is refused, even for root; a path at the length limit is saved.
    platform_test::MakeReadOnly(real);
    EXPECT_FALSE(save(target, "newer"));
    EXPECT_EQ(GetLastError(), platform::kErrorAccessDenied);
    EXPECT_EQ(ReadBytes(real), "new");
#ifdef _WIN32
    const CString longest = folder / CString(254 - folder.Path().size(), u'c') + u".xml";
#else
    const CString longest = folder / CString(251, u'c') + u".xml";
#endif
    EXPECT_TRUE(save(longest, "long"));
    EXPECT_EQ(ReadBytes(longest), "long");
}

TEST(Folders, OnlySymbolicLinksAndJunctionsAreLinks) {
    struct Entry {
        uint32_t attributes, tag;
        bool link;
    };
    const Entry entries[] = {
        {0x400, 0xA000000C, true},            // symbolic link
        {0x410, 0xA000000C, true},            // symbolic link to a folder
        {0x410, 0xA0000003, true},            // junction
        {0x400, 0x9000001A, false},           // cloud placeholder (OneDrive)
        {0x400 | 0x1000, 0x9000601A, false},  // cloud placeholder, offline
        {0x400, 0x80000013, false},           // deduplicated file
        {0x400, 0x80000017, false},           // WOF-compressed file
        {0x020, 0xA000000C, false},           // no reparse point: the tag means nothing
        {0x010, 0, false},
    };
    for (const Entry& e : entries)
        EXPECT_EQ(platform::IsLinkReparsePoint(e.attributes, e.tag), e.link)
            << std::hex << e.attributes << " " << e.tag;
}

struct Listed {
    bool dots = false;
    bool directory = false;
    bool link = false;
};

// Walks a listing the way CopyTree does and checks FindNext's "a further entry follows".
std::map<std::string, Listed> List(const CString& folder) {
    std::map<std::string, Listed> seen;
    platform::FileFind find;
    const CString pattern = folder + u"\\*.*";
    EXPECT_TRUE(find.FindFile(pattern.c_str()));
    bool more = true;
    int entries = 0, furtherTrue = 0;
    while (more) {
        more = find.FindNext();
        ++entries;
        if (more) ++furtherTrue;
        std::string name = Show(find.GetFileName());
        EXPECT_EQ(seen.count(name), 0u) << name;
        seen[name] = {find.IsDots(), find.IsDirectory(), find.IsLink()};
    }
    EXPECT_EQ(furtherTrue, entries - 1);  // false exactly on the last entry
    EXPECT_FALSE(find.FindNext());        // nothing after the last
    find.Close();
    return seen;
}

TEST(Folders, FileFindListsEveryEntry) {
    TempFolder folder;
    WriteBytes(folder / u"a.txt", "a");
    WriteBytes(folder / u"noextension", "b");
    WriteBytes(folder / u".hidden", "h");
    platform_test::MakeHidden(folder / u".hidden");
    WriteBytes(folder / u"\u4e2d\u6587.jpg", "c");
    ASSERT_TRUE(platform::CreateFolder((folder / u"sub").c_str()));
    ASSERT_TRUE(platform::CreateFolder((folder / u"sub\\inner").c_str()));

    auto seen = List(folder.Path());
    std::vector<std::string> names;
    for (const auto& [name, info] : seen) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "a.txt", "noextension", "sub",
                                               "\xe4\xb8\xad\xe6\x96\x87.jpg"}));
    for (const auto& [name, info] : seen) {
        EXPECT_EQ(info.dots, name == "." || name == "..") << name;
        EXPECT_EQ(info.directory, name == "." || name == ".." || name == "sub") << name;
        EXPECT_FALSE(info.link) << name;
    }
    // An empty folder still lists "." and "..".
    auto inner = List(folder / u"sub\\inner");
    EXPECT_EQ(inner.size(), 2u);

    platform::FileFind find;
    const CString missing = folder / u"missing\\*.*";
    EXPECT_FALSE(find.FindFile(missing.c_str()));
    EXPECT_EQ(GetLastError(), platform::kErrorPathNotFound);
    const CString none = folder / u"*.none";
    EXPECT_FALSE(find.FindFile(none.c_str()));
    EXPECT_EQ(GetLastError(), platform::kErrorFileNotFound);
    // A mask other than "*.*" selects, without regard to case.
    const CString masked = folder / u"*.TXT";
    ASSERT_TRUE(find.FindFile(masked.c_str()));
    EXPECT_FALSE(find.FindNext());
    EXPECT_EQ(Show(find.GetFileName()), "a.txt");
}

#ifndef _WIN32
TEST(Folders, FileFindReportsLinks) {
    TempFolder folder;
    ASSERT_TRUE(platform::CreateFolder((folder / u"real").c_str()));
    const fs::path host = platform_test::HostOf(folder.Path());
    fs::create_directory_symlink(host / "real", host / "to-folder");
    fs::create_symlink(host / "nowhere", host / "dangling");
    auto seen = List(folder.Path());
    EXPECT_TRUE(seen["to-folder"].link);
    EXPECT_TRUE(seen["to-folder"].directory);
    EXPECT_TRUE(seen["dangling"].link);
    EXPECT_FALSE(seen["dangling"].directory);
    EXPECT_FALSE(seen["real"].link);
}
#endif

}  // namespace
