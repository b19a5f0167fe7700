// The import steps over real folders: the folder rule, the copy, the merge and the save.
// Natively the test makes its own Wine prefix; under Wine it runs in the test prefix.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <string>

#include "import/receipt.h"
#include "import/run_import.h"
#include "platform/platform.h"
#include "support/platform_temp.h"
#include "support/xml_checker.h"
#include "xml/XmlDocument.h"

#ifdef _WIN32
#include <windows.h>
#endif
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using platform_test::Exists;
using platform_test::HostOf;
using platform_test::ReadBytes;
using platform_test::TempFolder;
using platform_test::WriteBytes;

TEST(Worker, BoundedCopyStatuses) {
    struct Copy {
        const char16_t* source;
        size_t room;
        int32_t status;
        const char16_t* result;
    };
    const Copy copies[] = {
        {u"abc", 4, kBoundedCopyOk, u"abc"},
        {u"abcd", 4, kBoundedCopyTruncated, u"abc"},
        {u"abcdefg", 4, kBoundedCopyTruncated, u"abc"},
        {u"", 1, kBoundedCopyOk, u""},
        {u"a", 1, kBoundedCopyTruncated, u""},
        {u"abc", 0, kBoundedCopyInvalid, u"zzzz"},
    };
    for (const Copy& c : copies) {
        char16_t buffer[8] = {u'z', u'z', u'z', u'z', 0, u'y', u'y', 0};
        EXPECT_EQ(BoundedCopy(buffer, c.room, c.source), c.status) << Narrow(c.source);
        EXPECT_EQ(std::u16string(buffer), c.result) << Narrow(c.source);
        EXPECT_EQ(buffer[5], u'y');  // nothing past the room
    }
    EXPECT_EQ(static_cast<uint32_t>(kBoundedCopyTruncated), 0x8007007Au);
    EXPECT_EQ(static_cast<uint32_t>(kBoundedCopyInvalid), 0x80070057u);
}

// Each cause has its sentence and its advice; names are escaped, and the system's message ends
// the sentence once, whatever it ended with.
TEST(Worker, FailureTexts) {
    const std::pair<CString, const char16_t*> rows[] = {
        {CopyFailureText(u"p\x1b[2J\n\t\x7f\x9bé", u"拒绝访问。\r\n"),
         u"导入未完成：无法复制“p\\x1b["
         u"2J\\n\\t\\x7f\\x9bé”：拒绝访问。请释放磁盘空间或修正权限后重新运行素材包。"},
        {CatalogReadFailureText(CatalogOf::Pack, u"p", u"Permission denied."),
         u"导入未完成：无法读取素材包的目录文件“p”：Permission "
         u"denied。请修正此文件的权限后重新运行素材包。"},
        {CatalogSyntaxFailureText(CatalogOf::Product, u"p", u"!"),
         u"导入未完成：MirvoPix的目录文件“p”不是格式正确的XML。请更正此文件或从备份恢复后重新运行素"
         u"材包。"},
        {CatalogCodePageFailureText(CatalogOf::Pack, u"p", 936),
         u"导入未完成：素材包的目录文件“p”不是代码页 936 的文本。请联系素材包的作者更正此文件。"},
        {MaterialFolderMissingText({u"E:\\m", u"F:\\m"}),
         u"导入未完成：找不到素材文件夹“E:\\m”或“F:"
         u"\\m”。请完整解压素材包，使素材文件夹与本程序位于同一文件夹后重新运行。"},
        {ProductPathTooLongText(u"p"),
         u"导入未完成：路径“p”太长。请将MirvoPix安装到路径较短的文件夹后重新运行素材包。"},
        {PackPathTooLongText(u"p"),
         u"导入未完成：路径“p”太长。请将素材包移到路径较短的文件夹后重新运行。"},
        {LockFailureText(u"p", u"x"),
         u"导入未完成：无法锁定产品数据文件夹“p”：x。请稍后重新运行素材包；仍不成功时，请重新启动计"
         u"算机后再试。"},
    };
    for (const auto& [text, want] : rows) EXPECT_EQ(Narrow(text), Narrow(want));
}

// The material folder is the command word beside the running executable.
CString MaterialFolder(const CString& word) {
    char16_t module[platform::kMaxPath] = {};
    platform::GetModulePath(module, platform::kMaxPath - 1);
    EXPECT_TRUE(platform::AppendPath(module, (u"..\\" + word).c_str()));
    return module;
}

#ifndef _WIN32
// A throwaway prefix reporting the given Windows version, with C: in it and Z: the host root.
class Prefix {
  public:
    explicit Prefix(const char* version) {
        std::string pattern = fs::temp_directory_path().string() + "/brevlo-worker-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
        fs::create_directories(path_ + "/drive_c/windows");
        fs::create_directories(path_ + "/dosdevices");
        fs::create_directory_symlink("../drive_c", path_ + "/dosdevices/c:");
        fs::create_directory_symlink("/", path_ + "/dosdevices/z:");
        std::ofstream(path_ + "/user.reg") << "WINE REGISTRY Version 2\n\n";
        std::ofstream(path_ + "/system.reg")
            << "WINE REGISTRY Version 2\n\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] "
               "1\n"
            << "\"CurrentVersion\"=\"" << version << "\"\n\"CurrentBuildNumber\"=\"2600\"\n";
        const char* old = std::getenv("WINEPREFIX");
        old_ = old ? old : "";
        ::setenv("WINEPREFIX", path_.c_str(), 1);
    }
    ~Prefix() {
        if (old_.empty())
            ::unsetenv("WINEPREFIX");
        else
            ::setenv("WINEPREFIX", old_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string path_, old_;
};
#endif

struct Rule {
    uint32_t high, low;
    bool nt6;
    bool driveRoot;
};

// Product versions as major.minor / build.revision words; the OS as NT 6.x or 5.x.
const Rule kRules[] = {
    {0x00010003, 0x000201F4, true, true},    // 1.3.2.500
    {0x00010003, 0x00050000, true, false},   // 1.3.5.0: build.revision not below 4.1001
    {0x00010004, 0x00000000, true, false},   // 1.4.0.0
    {0x00000000, 0x00000000, true, true},    // no version record
    {0x00010003, 0x000403E8, true, true},    // 1.3.4.1000
    {0x00010003, 0x000403E9, true, false},   // 1.3.4.1001
    {0x00010003, 0x000201F4, false, false},  // NT 5.x: always the install folder
    {0x00000000, 0x00000000, false, false},
};

TEST(Worker, FolderRule) {
    TempFolder install;
    platform_test::ToolFolder tool;
    fs::create_directories(HostOf(install.Path() + u"\\data"));
    for (const Rule& r : kRules) {
#ifdef _WIN32
        if (!r.nt6) continue;  // Wine reports NT 6.1 to the test
#else
        Prefix prefix(r.nt6 ? "6.1" : "5.1");
#endif
        ASSERT_EQ(IsWindowsNT6(), r.nt6);
        ImportSettings settings{u"Marks", install.Path() + u"\\", r.high, r.low};
        bool done = false;
        ImportOutcome outcome = RunImport(settings, [&](const ImportOutcome&) { done = true; });
        EXPECT_TRUE(done);
        const CString expected =
            r.driveRoot ? CString(u"C:\\Mirvo\\Data\\Marks") : install.Path() + u"\\data\\Marks";
        EXPECT_EQ(Narrow(outcome.productFolder), Narrow(expected))
            << std::hex << r.high << " " << r.low;
        EXPECT_EQ(Narrow(outcome.materialFolder), Narrow(MaterialFolder(u"Marks")));
        // There is no pack beside the tool, nor in the folder searched next: nothing is made,
        // and every folder looked in is named.
        std::vector<CString> looked{MaterialFolder(u"Marks")};
        if (!platform::PackSearchFolder().empty())
            looked.push_back(platform::PackSearchFolder() + u"\\Marks");
        EXPECT_EQ(outcome.failure, MaterialFolderMissingText(looked));
        EXPECT_EQ(WorkingFolderPack(settings), u"");
        EXPECT_TRUE(r.driveRoot || !Exists(expected));
    }
}

// A pack beside the tool (a ToolFolder of the test's), removed at the end.
class Pack {
  public:
    explicit Pack(const CString& word) : folder_(MaterialFolder(word)) {
        fs::remove_all(HostOf(folder_));
        fs::create_directories(HostOf(folder_ + u"\\sub\\deeper"));
    }
    ~Pack() {
        std::error_code ignored;
        fs::remove_all(HostOf(folder_), ignored);
    }
    void Add(const CString& name, const std::string& bytes) {
        WriteBytes(folder_ + u"\\" + name, bytes);
    }
    CString folder_;
};

std::string Catalog(const std::string& albums) {
    return "<mirvo>\r\n\t<albums>\r\n" + albums + "\t</albums>\r\n</mirvo>\r\n";
}

// An installation of version 1.4 on NT 6.1: the product data folder is install\data\marks.
struct Installation {
    explicit Installation(const CString& word = u"marks")
        : settings{word, install.Path(), 0x00010004, 0},
          product(install.Path() + u"\\data\\" + word) {}
    // Its receipts (on Windows in the user profile of the tests' prefix) go with it.
    ~Installation() {
        for (const ReceiptFile& r : Receipts()) fs::remove(HostOf(r.path));
    }
    std::vector<ReceiptFile> Receipts() const {
        std::vector<ReceiptFile> mine;
        for (ReceiptFile& r : ListReceipts(nullptr))
            if (SameFolderPath(r.receipt.productFolder, product)) mine.push_back(std::move(r));
        return mine;
    }
#ifndef _WIN32
    Prefix prefix{"6.1"};
#endif
    TempFolder install;
    platform_test::ToolFolder tool;
    const ImportSettings settings;
    const CString product;
};

std::string Sha256Of(const std::string& bytes) {
    platform::Sha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.HexDigest();
}

// The files a receipt lists, sorted, each checked against the file in place: size and SHA-256.
std::vector<std::string> PlacedFiles(const Receipt& r, const CString& product) {
    std::vector<std::string> paths;
    for (const Receipt::File& f : r.files) {
        const std::string bytes = ReadBytes(product + u"\\" + f.path);
        EXPECT_EQ(f.size, bytes.size()) << Narrow(f.path);
        EXPECT_EQ(f.sha256, Sha256Of(bytes)) << Narrow(f.path);
        paths.push_back(Narrow(f.path));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Installed apart from every pack (natively in /usr/bin), the tool imports the pack in the
// current folder when none stands beside it.
TEST(Worker, PackInTheCurrentFolder) {
    if (platform::PackSearchFolder().empty()) GTEST_SKIP() << "the tool ships inside its pack";
    Installation in;
    TempFolder here;
    fs::create_directories(HostOf(here.Path() + u"\\marks"));
    WriteBytes(here.Path() + u"\\marks\\config.xml", Catalog("\t\t<album name=\"x\"/>\r\n"));
    const fs::path old = fs::current_path();
    fs::current_path(HostOf(here.Path()));
    ImportSettings settings = in.settings;
    settings.packFolder = WorkingFolderPack(settings);
    fs::create_directories(HostOf(in.install.Path() + u"\\data"));
    const ImportOutcome outcome = RunImport(settings, nullptr);
    EXPECT_EQ(Narrow(settings.packFolder), Narrow(platform::PackSearchFolder() + u"\\marks"));
    fs::current_path(old);
    EXPECT_TRUE(outcome.saved) << Narrow(outcome.failure);
    EXPECT_TRUE(Exists(in.product + u"\\config.xml"));
}

// The receipt's changes, each as "kind album item parent-or-before text", and each text as the
// saved catalog holds it.
void ExpectChanges(const Receipt& r, const std::string& catalog,
                   const std::vector<std::string>& expected) {
    std::vector<std::string> got;
    for (const Receipt::Change& c : r.changes) {
        const char* const forms[] = {"content", "no-content", "empty-tag"};
        const bool rewritten = c.kind == Receipt::Kind::Count && !c.created;
        got.push_back(std::string(&"album\0item\0\0count"[6 * static_cast<int>(c.kind)]) + " " +
                      Narrow(c.album + u" " + c.item) + " " +
                      (rewritten ? "before " + Narrow(c.before) : forms[int(c.parent)]) + " " +
                      Narrow(c.text));
        EXPECT_NE(catalog.find(Narrow(c.text)), std::string::npos) << Narrow(c.text);
    }
    EXPECT_EQ(got, expected);
}

// Each import that places anything leaves a receipt of it (on Windows, in the prefix's user
// profile); one that places nothing leaves none.
TEST(Worker, FirstImportThenSecondPackThenIdempotence) {
    Installation in;
    const ImportSettings& settings = in.settings;
    const CString& product = in.product;
    fs::create_directories(HostOf(in.install.Path() + u"\\data"));
    EXPECT_TRUE(Narrow(ReceiptsFolder()).starts_with("C:\\users\\"));
    {
        Pack pack(u"marks");
        const std::string packCatalog = Catalog(
            "\t\t<album name=\"x\">\r\n\t\t\t<item name=\"1\"/>\r\n"
            "\t\t\t<ElemCount>9</ElemCount>\r\n\t\t</album>\r\n");
        pack.Add(u"config.xml", packCatalog);
        pack.Add(u"sub\\deeper\\a.png", "png-a");
        pack.Add(u"b.png", "png-b");
        ImportOutcome first = RunImport(settings, nullptr);
        EXPECT_TRUE(first.sourceLoaded && first.targetLoaded && first.merged && first.saved);
        const auto receipts = in.Receipts();
        ASSERT_EQ(receipts.size(), 1u);
        const Receipt& r = receipts[0].receipt;
        EXPECT_TRUE(r.catalogCreated && r.productFolder == product && r.packFolder == pack.folder_);
        EXPECT_EQ(r.packCatalogSha256, Sha256Of(packCatalog));
        EXPECT_EQ(PlacedFiles(r, product),
                  (std::vector<std::string>{"b.png", "sub\\deeper\\a.png"}));
        EXPECT_EQ(r.folders, (std::vector<CString>{u"sub", u"sub\\deeper"}));
        EXPECT_TRUE(r.changes.empty() && r.foundFiles.empty() && r.foundItems.empty());
        // A first import copies the pack's catalog and merges it with itself: only the count.
        EXPECT_EQ(ReadBytes(product + u"\\config.xml"),
                  Catalog("\t\t<album name=\"x\">\r\n\t\t\t<item name=\"1\"/>\r\n"
                          "\t\t\t<ElemCount>1</ElemCount>\r\n\t\t</album>\r\n"));
        EXPECT_EQ(ReadBytes(product + u"\\sub\\deeper\\a.png"), "png-a");
        EXPECT_EQ(ReadBytes(product + u"\\b.png"), "png-b");
    }
    {
        Pack pack(u"marks");
        pack.Add(u"config.xml", Catalog("\t\t<album name=\"X\">\r\n\t\t\t<item name=\"2\"/>\r\n"
                                        "\t\t</album>\r\n\t\t<album name=\"y\"/>\r\n"));
        pack.Add(u"b.png", "other pack's b");
        pack.Add(u"c.png", "png-c");
        ImportOutcome second = RunImport(settings, nullptr);
        EXPECT_TRUE(second.saved);
        EXPECT_EQ(ReadBytes(product + u"\\b.png"), "png-b");  // never overwritten
        EXPECT_EQ(ReadBytes(product + u"\\c.png"), "png-c");
        const std::string merged = ReadBytes(product + u"\\config.xml");
        // The new album goes where the whitespace before "</albums>" ends.
        EXPECT_EQ(merged,
                  "<mirvo>\r\n\t<albums>\r\n\t\t<album name=\"x\">\r\n\t\t\t<item name=\"1\"/>\r\n"
                  "\t\t\t<item name=\"2\"/>\r\n<ElemCount>2</ElemCount>\r\n\t\t</album>\r\n"
                  "\t<album name=\"y\">\r\n<ElemCount>0</ElemCount>\r\n</album>\r\n</albums>\r\n"
                  "</mirvo>\r\n");
        const auto receipts = in.Receipts();
        ASSERT_EQ(receipts.size(), 2u);
        const Receipt& r =
            receipts[0].receipt.catalogCreated ? receipts[1].receipt : receipts[0].receipt;
        EXPECT_TRUE(!r.catalogCreated && r.folders.empty());
        EXPECT_EQ(PlacedFiles(r, product), std::vector<std::string>{"c.png"});
        EXPECT_EQ(r.foundFiles, std::vector<CString>{u"b.png"});
        ASSERT_EQ(r.foundItems.size(), 1u);  // the album, in the product's spelling
        EXPECT_EQ(Narrow(r.foundItems[0].album + u"/" + r.foundItems[0].item), "x/");
        ExpectChanges(
            r, merged,
            {"item x 2 content <item name=\"2\"/>",
             "album y  content <album name=\"y\">\r\n<ElemCount>0</ElemCount>\r\n</album>",
             "count x  before <ElemCount>1</ElemCount> <ElemCount>2</ElemCount>"});

        // The same import again changes no byte of the product folder.
        auto snapshot = [&] {
            std::string all;
            for (auto& e : fs::recursive_directory_iterator(HostOf(product))) {
                all += e.path().string() + "\n";
                if (e.is_regular_file()) {
                    std::ifstream in(e.path(), std::ios::binary);
                    all += std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
                }
            }
            return all;
        };
        const std::string before = snapshot();
        EXPECT_TRUE(RunImport(settings, nullptr).saved);
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(in.Receipts().size(), 2u);
    }
}

// How each parent read before the import's first append into it; the pack's albums the
// product had are found. A receipt that cannot be written leaves the import complete.
TEST(Worker, ReceiptsNoteEachParentAndSayWhenUnwritten) {
    auto Added = [](const std::string& name) {
        return "<album name=\"" + name + "\">\r\n<ElemCount>0</ElemCount>\r\n</album>";
    };
    const struct {
        std::string product, pack;
        std::vector<std::string> changes;
        const char* found;
    } rows[] = {
        {"<mirvo><albums/></mirvo>",
         Catalog("<album name=\"a\"/><album name=\"b\"/>"),
         {"album a  empty-tag " + Added("a"), "album b  content " + Added("b")},
         ""},
        {"<mirvo><albums></albums></mirvo>",
         Catalog("<album name=\"a\"/>"),
         {"album a  no-content " + Added("a")},
         ""},
        {Catalog("<album name=\"x\"/><album name=\"z\"></album><album name=\"w\"/>"),
         Catalog("<album name=\"X\"><item name=\"i\"/></album><album name=\"z\"/><album "
                 "name=\"w\"/>"),
         {"item x i empty-tag <item name=\"i\"/>", "count x  content <ElemCount>1</ElemCount>",
          "count z  no-content <ElemCount>0</ElemCount>",
          "count w  empty-tag <ElemCount>0</ElemCount>"},
         "xzw"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.product);
        Installation in(u"forms");
        fs::create_directories(HostOf(in.product));
        WriteBytes(in.product + u"\\config.xml", row.product);
        Pack pack(u"forms");
        pack.Add(u"config.xml", row.pack);
        EXPECT_TRUE(RunImport(in.settings, nullptr).saved);
        const auto receipts = in.Receipts();
        ASSERT_EQ(receipts.size(), 1u);
        ExpectChanges(receipts[0].receipt, ReadBytes(in.product + u"\\config.xml"), row.changes);
        std::string found;
        for (const Receipt::Found& f : receipts[0].receipt.foundItems) found += Narrow(f.album);
        EXPECT_EQ(found, row.found);
    }
#ifndef _WIN32  // the tests' prefix is shared under Wine
    Installation in(u"forms");
    fs::create_directories(HostOf(in.product));
    WriteBytes(in.product + u"\\config.xml", Catalog(""));
    Pack pack(u"forms");
    pack.Add(u"config.xml", Catalog("<album name=\"a\"/>"));
    // A file where the receipts' folder would be made.
    fs::create_directories(HostOf(platform::LocalAppDataFolder()));
    WriteBytes(platform::LocalAppDataFolder() + u"\\Brevlo", "");
    const ImportOutcome outcome = RunImport(in.settings, nullptr);
    EXPECT_TRUE(outcome.failure.empty() && outcome.saved && in.Receipts().empty());
    EXPECT_EQ(ReadBytes(in.product + u"\\config.xml"),
              "<mirvo>\r\n\t<albums>\r\n\t" + Added("a") + "\r\n</albums>\r\n</mirvo>\r\n");
    const std::string notice = Narrow(outcome.notice);
    EXPECT_TRUE(notice.starts_with("导入已完成，但导入记录未能保存到“" + Narrow(ReceiptsFolder()) +
                                   "”：") &&
                notice.ends_with("。以后将无法用 brevlo-catalog remove 取出此素材包。") &&
                notice.find("。。") == std::string::npos)
        << notice;
#endif
}

TEST(Worker, NothingIsSavedWithoutBothCatalogs) {
    Installation in;
    const ImportSettings& settings = in.settings;
    const CString& product = in.product;
    const TempFolder& install = in.install;
    fs::create_directories(HostOf(product));
    {
        // No catalog in the pack: files are copied, the product catalog stays untouched.
        Pack pack(u"marks");
        pack.Add(u"a.png", "a");
        WriteBytes(product + u"\\config.xml", Catalog(""));
        ImportOutcome outcome = RunImport(settings, nullptr);
        EXPECT_FALSE(outcome.sourceLoaded);
        EXPECT_FALSE(outcome.saved);
        EXPECT_EQ(ReadBytes(product + u"\\a.png"), "a");
        EXPECT_EQ(ReadBytes(product + u"\\config.xml"), Catalog(""));
    }
    {
        // A product catalog of another form is left exactly as it was, and that is said.
        Pack pack(u"marks");
        pack.Add(u"config.xml", Catalog("\t\t<album name=\"n\"/>\r\n"));
        const std::string other = "<catalog>\r\n\t<album name=\"n\"/>\r\n</catalog>\r\n";
        WriteBytes(product + u"\\config.xml", other);
        ImportOutcome outcome = RunImport(settings, nullptr);
        EXPECT_FALSE(outcome.merged);
        EXPECT_EQ(outcome.failure,
                  CatalogFormFailureText(CatalogOf::Product, product + u"\\config.xml"));
        EXPECT_EQ(ReadBytes(product + u"\\config.xml"), other);
    }
    {
        // No product data folder's parent: nothing is written anywhere, and that is said.
        Pack pack(u"marks");
        pack.Add(u"config.xml", Catalog(""));
        const ImportSettings missing{u"marks", install.Path() + u"\\gone", 0x00010004, 0};
        ImportOutcome outcome = RunImport(missing, nullptr);
        EXPECT_FALSE(outcome.targetLoaded);
        EXPECT_EQ(Narrow(outcome.failure.substr(0, 6)), "导入未完成：");
        EXPECT_FALSE(Exists(install.Path() + u"\\gone"));
    }
}

TEST(Worker, TooLongJoinStopsBeforeAnyWrite) {
#ifndef _WIN32
    Prefix prefix("6.1");
#endif
    TempFolder install;
    platform_test::ToolFolder tool;
    const CString longPath = install.Path() + u"\\" + CString(250, u'p');
    const CString longTool = install.Path() + u"\\" + CString(258 - install.Path().size(), u't');
    // Room for the data folder, not for the catalog in it.
    const CString longCatalog = install.Path() + u"\\" + CString(239 - install.Path().size(), u'c');
    const struct {
        CString installPath, toolPath, failure;
    } rows[] = {
        {longPath, {}, ProductPathTooLongText(longPath + u"\\data\\marks")},
        {longCatalog, {}, ProductPathTooLongText(longCatalog + u"\\data\\marks\\config.xml")},
        {install.Path(), longTool, PackPathTooLongText(longTool)},
    };
    for (const auto& r : rows) {
        if (!r.toolPath.empty()) platform::SetModulePathForTest(r.toolPath);
        bool done = false;
        ImportOutcome outcome = RunImport(ImportSettings{u"marks", r.installPath, 0x00010004, 0},
                                          [&](const ImportOutcome&) { done = true; });
        EXPECT_TRUE(done);  // the end is reported all the same
        EXPECT_EQ(outcome.failure, r.failure);
        EXPECT_TRUE(outcome.productFolder.empty());
        EXPECT_FALSE(outcome.copied);
    }
}

// Every entry below `root`: folders as "/", files as their bytes.
std::map<std::string, std::string> Tree(const CString& root) {
    std::map<std::string, std::string> out;
    const fs::path base = HostOf(root);
    for (const auto& e : fs::recursive_directory_iterator(base)) {
        const std::string rel = fs::relative(e.path(), base).generic_string();
        out[rel] = e.is_directory() ? "/" : ReadBytes(root + u"\\" + Widen(rel));
    }
    return out;
}

// Each import checks both catalogs before it changes anything, copies soundly and says what
// did not work; the product folder then holds exactly the pack's files and the catalog.
TEST(Worker, ImportsCheckFirstAndSayWhatFailed) {
    const std::string gbk = "\xcf\xc4";       // 夏 in code page 936
    const std::string utf8 = "\xe5\xa4\x8f";  // 夏 in UTF-8: invalid there
    const std::string packCatalog =
        Catalog("<album name=\"" + gbk + "\"><item name=\"n\"/></album>\r\n");
    const std::string packMerged = Catalog(
        "<album name=\"" + gbk + "\"><item name=\"n\"/><ElemCount>1</ElemCount>\r\n</album>\r\n");
    struct Row {
        const char* what;
        const char* packCatalog;     // null: the pack has none
        const char* productCatalog;  // null: the product has none
        const char* productFile;     // a file the product has as "sub" (null: none)
        const char* failure;         // how the failure text starts; null: the import completes
        const char* catalogAfter;    // null: unchanged
    };
    // Well-formed once read, but the lead byte took the space: it would be saved as "?".
    const std::string utf8Product = Catalog("<album name=\"" + utf8 + " 1\"/>\r\n");
    const std::string bomProduct = "\xef\xbb\xbf" + Catalog("<album name=\"a\"/>\r\n");
    const std::string gbkProduct = Catalog("<album name=\"" + gbk + "\"/>\r\n");
    const std::string gbkMerged =
        Catalog("<album name=\"" + gbk +
                "\">\r\n<item name=\"n\"/>\r\n<ElemCount>1</ElemCount>\r\n</album>\r\n");
    const std::string broken = "<mirvo><albums>";
    const std::string loneLead = Catalog("<album name=\"\xcf\"/>\r\n");
    // 夏天 and 海边 in UTF-8: their bytes happen to be pairs of code page 936.
    const std::string utf8Exact = Catalog(
        "<album name=\"\xe5\xa4\x8f\xe5\xa4\xa9\"/><album name=\"\xe6\xb5\xb7\xe8\xbe\xb9\"/>\r\n");
    const std::string utf8Failure = "似乎是 UTF-8 编码的文本，而目录文件必须是代码页 936 的文本。";
    const std::string productUtf8 = "导入未完成：MirvoPix的目录文件“P”" + utf8Failure;
    const std::string packUtf8 = "导入未完成：素材包的目录文件“M”" + utf8Failure;
    // Catalogs of another form: the walk finds their albums one level higher.
    const std::string albumsRoot =
        "<albums><album name=\"" + gbk + "\"><item name=\"n\"/></album></albums>";
    const std::string mirvoRoot =
        "<mirvo><album name=\"" + gbk + "\"><item name=\"n\"/></album></mirvo>";
    const Row rows[] = {
        {"product catalog in UTF-8 that reads exactly", packCatalog.c_str(), utf8Exact.c_str(),
         nullptr, productUtf8.c_str(), nullptr},
        {"pack catalog in UTF-8 that reads exactly", utf8Exact.c_str(), gbkProduct.c_str(), nullptr,
         packUtf8.c_str(), nullptr},
        {"pack catalog with the albums as root", albumsRoot.c_str(), gbkProduct.c_str(), nullptr,
         nullptr, gbkMerged.c_str()},
        {"pack catalog without albums", mirvoRoot.c_str(), gbkProduct.c_str(), nullptr, nullptr,
         gbkMerged.c_str()},
        {"pack catalog of another form, no product catalog", albumsRoot.c_str(), nullptr, nullptr,
         "导入未完成：MirvoPix还没有目录文件，而素材包的目录文件“M”不是", nullptr},
        {"product catalog in UTF-8", packCatalog.c_str(), utf8Product.c_str(), nullptr,
         productUtf8.c_str(), nullptr},
        {"product catalog with a byte-order mark", packCatalog.c_str(), bomProduct.c_str(), nullptr,
         productUtf8.c_str(), nullptr},
        {"product catalog with a lead byte alone", packCatalog.c_str(), loneLead.c_str(), nullptr,
         "导入未完成：MirvoPix的目录文件“P”不是代码页 936 的文本。", nullptr},
        {"pack catalog in UTF-8", utf8Product.c_str(), gbkProduct.c_str(), nullptr,
         packUtf8.c_str(), nullptr},
        {"product catalog not well-formed", packCatalog.c_str(), broken.c_str(), nullptr,
         "导入未完成：MirvoPix的目录文件“P”不是格式正确的XML：", nullptr},
        {"pack catalog not well-formed", broken.c_str(), gbkProduct.c_str(), nullptr,
         "导入未完成：素材包的目录文件“M”不是格式正确的XML：", nullptr},
        {"a file where the pack has a folder", packCatalog.c_str(), gbkProduct.c_str(), "sub",
         "导入未完成：无法复制“", nullptr},
        {"Chinese names in 936 merge", packCatalog.c_str(), gbkProduct.c_str(), nullptr, nullptr,
         gbkMerged.c_str()},
        {"no pack catalog", nullptr, gbkProduct.c_str(), nullptr, nullptr, nullptr},
        {"no product catalog", packCatalog.c_str(), nullptr, nullptr, nullptr, packMerged.c_str()},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Installation in(u"checks");
        fs::create_directories(HostOf(in.product));
        Pack pack(u"checks");
        pack.Add(u"a.png", "a");
        pack.Add(u"sub\\deeper\\b.png", "b");
        if (r.packCatalog) pack.Add(u"config.xml", r.packCatalog);
        const CString catalog = in.product + u"\\config.xml";
        if (r.productCatalog) WriteBytes(catalog, r.productCatalog);
        if (r.productFile) WriteBytes(in.product + u"\\" + Widen(r.productFile), "mine");
        WriteBytes(in.product + u"\\config.xml.lock", "");  // left by an earlier version
        const auto before = Tree(in.product);
        ImportOutcome outcome = RunImport(in.settings, nullptr);
        if (!r.failure) {
            EXPECT_EQ(Narrow(outcome.failure), "");
            auto expected = Tree(pack.folder_);
            if (r.productCatalog) expected["config.xml"] = r.productCatalog;
            if (r.catalogAfter) expected["config.xml"] = r.catalogAfter;
            EXPECT_EQ(Tree(in.product), expected);
            continue;
        }
        std::string expected = r.failure;
        const size_t at = expected.find("“") + 3;
        if (expected[at] == 'P' || expected[at] == 'M')
            expected.replace(
                at, 1, Narrow((expected[at] == 'P' ? in.product : pack.folder_) + u"\\config.xml"));
        const std::string text = Narrow(outcome.failure);
        EXPECT_TRUE(text.starts_with(expected) && text.find("。。") == std::string::npos) << text;
        EXPECT_FALSE(outcome.saved);
        if (!expected.ends_with("“")) {  // a catalog: nothing changed, not even copied
            auto unchanged = before;
            unchanged.erase("config.xml.lock");
            EXPECT_EQ(Tree(in.product), unchanged);
        } else {
            EXPECT_EQ(ReadBytes(catalog), r.productCatalog);
        }
    }
}

#ifdef _WIN32
// Another program holds the catalog open sharing reading only: the replacement fails, is said,
// and nothing of ours or of the system's stays beside the catalog.
TEST(Worker, AFailedReplacementLeavesNothingBehind) {
    Installation in;
    fs::create_directories(HostOf(in.product));
    Pack pack(u"marks");
    pack.Add(u"config.xml", Catalog("<album name=\"new\"/>\r\n"));
    const CString catalog = in.product + u"\\config.xml";
    WriteBytes(catalog, Catalog(""));
    HANDLE held = ::CreateFileW(reinterpret_cast<const wchar_t*>(catalog.c_str()), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const ImportOutcome outcome = RunImport(in.settings, nullptr);
    ::CloseHandle(held);
    EXPECT_EQ(Narrow(outcome.failure).find("导入未完成：无法保存MirvoPix的目录文件"), 0u)
        << Narrow(outcome.failure);
    EXPECT_EQ(ReadBytes(catalog), Catalog(""));
    auto expected = Tree(pack.folder_);
    expected["config.xml"] = Catalog("");
    EXPECT_EQ(Tree(in.product), expected);
}
#endif

// The import of a pack whose links Wine shows as it does (tests/import/wine_links.sh makes it
// on the host and checks the result there); skipped without it.
TEST(Worker, LinksUnderWine) {
    const char* fixture = std::getenv("BREVLO_LINK_FIXTURE");
    if (!fixture || !*fixture) GTEST_SKIP() << "run by wine_links.sh";
    const CString root = platform::FromUtf8(fixture);
    const CString* previous = platform::ModulePathForTest();
    const CString restore = previous ? *previous : CString();
    platform::SetModulePathForTest(root + u"\\setup.exe");
    const ImportOutcome outcome =
        RunImport(ImportSettings{u"marks", root + u"\\install", 0x00010004, 0}, nullptr);
    platform::SetModulePathForTest(restore);
    // Or, with a name Wine cannot read in the pack, refused naming the folder.
    const char* refused = std::getenv("BREVLO_LINK_REFUSED");
    if (refused && *refused) {
        EXPECT_NE(Narrow(outcome.failure).find(refused), std::string::npos)
            << Narrow(outcome.failure);
        EXPECT_FALSE(outcome.copied);
        return;
    }
    EXPECT_EQ(Narrow(outcome.failure), "");
    EXPECT_TRUE(outcome.saved);
}

}  // namespace
