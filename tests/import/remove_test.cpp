// Taking a pack out again: what a receipt lists goes only while it is as the import left it and
// nothing relies on it; whatever stays is said, and a dry run changes nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <tuple>
#include <string>

#include "import/remove_pack.h"
#include "import/run_import.h"
#include "platform/platform.h"
#include "support/platform_temp.h"
#include "support/xml_gen.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using platform_test::HostOf;
using platform_test::ReadBytes;
using platform_test::TempFolder;
using platform_test::WriteBytes;
using Kept = RemovalStep::Kept;
using What = RemovalStep::What;

std::string Narrow(const CString& text) {
    return platform::ToUtf8(text);
}

// A catalog written in the ANSI code page, as the product keeps it.
void WriteCatalog(const CString& path, const std::string& utf8) {
    const CString text = platform::FromUtf8(utf8);
    std::string bytes;
    bool usedDefault = false;
    ASSERT_TRUE(platform::WideToAnsi(text.data(), text.size(), bytes, usedDefault));
    ASSERT_FALSE(usedDefault);
    WriteBytes(path, bytes);
}

// Receipts of the test's own (natively in a prefix of its own, under Wine in a local
// application data folder of its own), and a product installed at `install`.
class Scene {
  public:
    Scene() {
#ifdef _WIN32
        const wchar_t* old = _wgetenv(L"LOCALAPPDATA");
        old_ = old ? old : L"";
        ::SetEnvironmentVariableW(L"LOCALAPPDATA",
                                  reinterpret_cast<const wchar_t*>(local_.Path().c_str()));
#else
        std::string pattern = fs::temp_directory_path().string() + "/brevlo-remove-XXXXXX";
        prefix_ = ::mkdtemp(pattern.data());
        fs::create_directories(prefix_ + "/dosdevices");
        fs::create_directory_symlink("..", prefix_ + "/dosdevices/c:");
        fs::create_directory_symlink("/", prefix_ + "/dosdevices/z:");
        const char* old = std::getenv("WINEPREFIX");
        old_ = old ? old : "";
        ::setenv("WINEPREFIX", prefix_.c_str(), 1);
#endif
        folder_.emplace();
        install = folder_->Path();
        product = install + u"\\data\\marks";
        fs::create_directories(HostOf(product));
        fs::create_directories(HostOf(ReceiptsFolder()));
    }
    ~Scene() {
        folder_.reset();
#ifdef _WIN32
        ::SetEnvironmentVariableW(L"LOCALAPPDATA", old_.empty() ? nullptr : old_.c_str());
#else
        if (old_.empty())
            ::unsetenv("WINEPREFIX");
        else
            ::setenv("WINEPREFIX", old_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
#endif
    }

    // Every file and folder below the product data folder, with the files' bytes.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> all;
        for (auto& e : fs::recursive_directory_iterator(HostOf(product))) {
            const std::string name = fs::relative(e.path(), HostOf(product)).generic_string();
            all[name] = e.is_symlink()     ? "<link>"
                        : e.is_directory() ? "<folder>"
                        : e.is_regular_file()
                            ? ReadBytes(product + u"\\" + platform::FromUtf8(name))
                            : "<other>";
        }
        return all;
    }

    // Imports the pack of `files` (path, bytes; the catalog in UTF-8, stored in the code
    // page) and returns the receipt it left.
    ReceiptFile Import(const std::vector<std::pair<std::string, std::string>>& files) {
        TempFolder pack;
        for (const auto& [name, bytes] : files) {
            const CString path = pack.Path() + u"\\marks\\" + platform::FromUtf8(name);
            fs::create_directories(HostOf(path).parent_path());
            if (name == "config.xml")
                WriteCatalog(path, bytes);
            else
                WriteBytes(path, bytes);
        }
        const ImportSettings settings{u"marks", install, 0x00010004, 0, pack.Path() + u"\\marks"};
        const ImportOutcome outcome = RunImport(settings, nullptr);
        EXPECT_TRUE(outcome.saved) << Narrow(outcome.failure);
        std::vector<ReceiptFile> receipts = ListReceipts(nullptr);
        EXPECT_EQ(receipts.size(), 1u);
        return receipts.empty() ? ReceiptFile{} : std::move(receipts[0]);
    }

    CString install, product;

  private:
#ifdef _WIN32
    std::wstring old_;
    TempFolder local_;
#else
    std::string prefix_, old_;
#endif
    std::optional<TempFolder> folder_;
};

std::string Catalog(const std::string& albums) {
    return "<mirvo>\r\n\t<albums>\r\n" + albums + "\t</albums>\r\n</mirvo>\r\n";
}

const char kBefore[] =
    "<mirvo>\r\n\t<albums>\r\n\t\t<album name=\"A\">\r\n\t\t\t<item name=\"1\" "
    "file=\"a1.png\"/>\r\n\t\t\t<ElemCount>1</ElemCount>\r\n\t\t</album>\r\n\t</albums>\r\n"
    "</mirvo>\r\n";

// A later import of another pack that found these in place.
Receipt Later(const CString& product, const CString& date, std::vector<CString> files,
              std::vector<Receipt::Found> items) {
    Receipt r;
    r.productFolder = product;
    r.packFolder = u"Z:\\packs\\two\\marks";
    r.date = date;
    r.files.push_back({u"b.png", 1, std::string(64, '0')});
    r.foundFiles = std::move(files);
    r.foundItems = std::move(items);
    return r;
}

void Edit(Scene& s, const std::string& from, const std::string& to) {
    std::string text = ReadBytes(s.product + u"\\config.xml");
    text.replace(text.find(from), from.size(), to);
    WriteBytes(s.product + u"\\config.xml", text);
}

// Later receipts are written beside the one being removed.
void Write(const Receipt& r) {
    WriteBytes(ReceiptsFolder() + u"\\two.xml", Narrow(ReceiptText(r)));
}

struct Row {
    const char* name;
    std::function<void(Scene&)> after;  // what happened since the import
    std::vector<std::tuple<What, CString, Kept>> kept;
    // A later receipt to drop before a second removal, which then takes the rest.
    bool retry = false;
};

const CString kLater = u"2026-12-08T09:00:00Z";

TEST(Remove, KeepsWhatChangedOrIsNamedOrReliedOnAndSaysWhy) {
    const std::vector<Row> rows = {
        {"nothing since", [](Scene&) {}, {}},
        {"a file changed",
         [](Scene& s) { WriteBytes(s.product + u"\\sub\\z1.png", "z1 edited"); },
         {{What::File, u"sub\\z1.png", Kept::Changed}, {What::Folder, u"sub", Kept::NotEmpty}}},
        {"an item edited",
         [](Scene& s) { Edit(s, "\"sub/a2.png\"/>", "\"sub/a2.png\" x=\"\"/>"); },
         {{What::Item, u"2", Kept::Changed},
          {What::File, u"sub\\a2.png", Kept::Named},
          {What::Folder, u"sub", Kept::NotEmpty}}},
        {"an album a second pack added to",
         [](Scene& s) { Edit(s, "z1.png\"/>", "z1.png\"/><item/>"); },
         {{What::Album, u"Z", Kept::Changed},
          {What::File, u"sub\\z1.png", Kept::Named},
          {What::Folder, u"sub", Kept::NotEmpty}}},
        {"a count edited",
         [](Scene& s) { Edit(s, "<ElemCount>2<", "<ElemCount> 2<"); },
         {{What::Count, u"", Kept::Changed}}},
        {"an item a later pack found",
         [](Scene& s) {
             Write(Later(s.product, kLater, {}, {{u"a", u"2"}}));
         },
         {{What::Item, u"2", Kept::ReliedOn},
          {What::File, u"sub\\a2.png", Kept::Named},
          {What::Folder, u"sub", Kept::NotEmpty}},
         true},
        {"an album a later pack found",
         [](Scene& s) {
             Write(Later(s.product, kLater, {}, {{u"z", {}}}));
         },
         {{What::Album, u"Z", Kept::ReliedOn},
          {What::File, u"sub\\z1.png", Kept::Named},
          {What::Folder, u"sub", Kept::NotEmpty}},
         true},
        {"a file a later pack found",
         [](Scene& s) { Write(Later(s.product, kLater, {u"SUB/Z1.png"}, {})); },
         {{What::File, u"sub\\z1.png", Kept::ReliedOn}, {What::Folder, u"sub", Kept::NotEmpty}},
         true},
        {"a receipt of another product",
         [](Scene& s) {
             Write(Later(s.product + u"2", kLater, {u"sub\\z1.png"}, {{u"a", u"2"}}));
         },
         {}},
        {"an earlier receipt",
         [](Scene& s) {
             Write(Later(s.product, u"2026-12-01T09:00:00Z", {u"sub\\z1.png"}, {{u"a", u"2"}}));
         },
         {}},
        {"a file gone",
         [](Scene& s) { fs::remove(HostOf(s.product + u"\\sub\\z1.png")); },
         {{What::File, u"sub\\z1.png", Kept::NotFound}}},
#ifndef _WIN32
        {"a link in place of a file",
         [](Scene& s) {
             fs::remove(HostOf(s.product + u"\\sub\\a2.png"));
             fs::create_symlink("z1.png", HostOf(s.product + u"\\sub\\a2.png"));
         },
         {{What::File, u"sub\\a2.png", Kept::Link}, {What::Folder, u"sub", Kept::NotEmpty}}},
        {"a pipe in place of a file",
         [](Scene& s) {
             fs::remove(HostOf(s.product + u"\\sub\\a2.png"));
             ASSERT_EQ(::mkfifo(HostOf(s.product + u"\\sub\\a2.png").c_str(), 0600), 0);
         },
         {{What::File, u"sub\\a2.png", Kept::NotAFile}, {What::Folder, u"sub", Kept::NotEmpty}}},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scene scene;
        WriteBytes(scene.product + u"\\a1.png", "a1");
        WriteBytes(scene.product + u"\\config.xml", kBefore);
        const auto pristine = scene.Snapshot();
        // Item 2 added to album A (its file in the new folder "sub"), A's count rewritten,
        // album Z added.
        const ReceiptFile imported = scene.Import(
            {{"config.xml",
              Catalog("\t\t<album name=\"a\">\r\n\t\t\t<item name=\"2\" file=\"sub/a2.png\"/>\r\n"
                      "\t\t</album>\r\n\t\t<album name=\"Z\" cover=\"sub\\Z1.PNG\">\r\n\t\t\t<item "
                      "name=\"z1\" file=\"sub/z1.png\"/>\r\n\t\t\t<ElemCount>1</ElemCount>\r\n"
                      "\t\t</album>\r\n")},
             {"a1.png", "other a1"},
             {"sub/a2.png", "a2"},
             {"sub/z1.png", "z1"}});
        row.after(scene);

        const auto before = scene.Snapshot();
        const RemovalResult look = RemovePack(imported.path, imported.receipt, false);
        EXPECT_EQ(scene.Snapshot(), before);
        EXPECT_FALSE(look.changed);
        const RemovalResult done = RemovePack(imported.path, imported.receipt, true);
        ASSERT_EQ(done.failure, "");
        // The dry run said what the removal did.
        ASSERT_EQ(look.steps.size(), done.steps.size());
        std::vector<std::tuple<What, CString, Kept>> kept;
        for (size_t i = 0; i < done.steps.size(); ++i) {
            const RemovalStep& s = done.steps[i];
            EXPECT_EQ(look.steps[i].kept, s.kept) << Narrow(s.name);
            if (s.kept != Kept::No) kept.emplace_back(s.what, s.name, s.kept);
        }
        EXPECT_EQ(kept, row.kept);
        EXPECT_EQ(done.Complete(), row.kept.empty());
        // Kept only while something that is there stays.
        const bool stays = std::any_of(row.kept.begin(), row.kept.end(), [](const auto& k) {
            return std::get<2>(k) != Kept::NotFound;
        });
        EXPECT_EQ(done.receipt,
                  stays ? RemovalResult::Fate::Rewritten : RemovalResult::Fate::Deleted);
        EXPECT_EQ(platform_test::Exists(imported.path), stays);
        if (row.kept.empty()) {
            EXPECT_EQ(scene.Snapshot(), pristine);
        }
        if (!row.retry) continue;
        // Once nothing relies on it, the rest goes too.
        fs::remove(HostOf(ReceiptsFolder() + u"\\two.xml"));
        Receipt rest;
        std::string problem;
        ASSERT_TRUE(ParseReceipt(platform::FromUtf8(ReadBytes(imported.path)), rest, problem));
        const RemovalResult again = RemovePack(imported.path, rest, true);
        EXPECT_TRUE(again.Complete());
        EXPECT_EQ(again.receipt, RemovalResult::Fate::Deleted);
        EXPECT_EQ(scene.Snapshot(), pristine);
    }
}

// A generated catalog's albums: each album's items and its count as the recount writes it,
// or, unless `exact`, no count in an album written as an empty-element tag or with nothing
// between its tags. An exact catalog is one the merge leaves as it is: no name twice.
std::string Albums(Rng& rng, bool exact, std::vector<std::string>* files) {
    // The product names no file of the pack: one it did would stay.
    const std::string kind = files ? "\\f" : "\\p";
    static const char* const kAlbums[] = {"a", "A", "b", "夏日", "c &amp; d"};
    static const char* const kItems[] = {"1", "2", "i", "阳光"};
    std::string text;
    std::set<std::string> albums;
    for (int n = rng.Below(4); n > 0; --n) {
        std::string name = rng.Pick(kAlbums);
        if (exact && !albums.insert(name == "A" ? "a" : name).second) continue;
        const int form = rng.Below(4);
        if (form < 2 && !exact) {
            text += "\t\t<album name=\"" + name + (form ? "\"></album>\r\n" : "\"/>\r\n");
            continue;
        }
        text += "\t\t<album name=\"" + name + "\">\r\n";
        std::set<std::string> items;
        for (int i = rng.Below(3); i > 0; --i) {
            const std::string item = rng.Pick(kItems);
            if (exact && !items.insert(item).second) continue;
            const std::string file =
                "d" + std::to_string(rng.Below(3)) + kind + std::to_string(rng.Below(6)) + ".png";
            if (files) files->push_back(file);
            text += "\t\t\t<item name=\"" + item + "\" file=\"" + file + "\"/>\r\n";
        }
        const size_t count = exact ? items.size() : static_cast<size_t>(rng.Below(3));
        text += "\t\t\t<ElemCount>" + std::to_string(count) + "</ElemCount>\r\n\t\t</album>\r\n";
    }
    return text;
}

// Imported and taken out again, the product data folder is what it was, byte for byte, and
// the receipt is gone.
TEST(Remove, RoundTripGivesTheProductBackByteForByte) {
    for (uint64_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        Rng rng(seed);
        Scene scene;
        // The product: no catalog yet (the first import makes it), or one of each form.
        const int form = static_cast<int>(seed % 4);
        const char* const forms[] = {"", "<mirvo>\r\n\t<albums/>\r\n</mirvo>\r\n",
                                     "<mirvo>\r\n\t<albums></albums>\r\n</mirvo>\r\n"};
        const std::string albums = Albums(rng, form == 0, nullptr);
        if (form > 0)
            WriteCatalog(scene.product + u"\\config.xml", form < 3 ? forms[form] : Catalog(albums));
        std::vector<std::string> files{"d1\\deeper\\g.png"};
        std::vector<std::pair<std::string, std::string>> pack{
            {"config.xml", Catalog(Albums(rng, form == 0, &files) +
                                   "\t\t<album name=\"new\">\r\n\t\t\t<ElemCount>0</ElemCount>"
                                   "\r\n\t\t</album>\r\n")}};
        for (const std::string& f : files) {
            pack.emplace_back(f, f + " of the pack");
            // Some the product has already, some in folders it has.
            const CString path = scene.product + u"\\" + platform::FromUtf8(f);
            if (!rng.Chance(30)) continue;
            fs::create_directories(HostOf(path).parent_path());
            if (rng.Chance(50)) WriteBytes(path, f + " of the product");
        }
        const auto before = scene.Snapshot();
        const ReceiptFile receipt = scene.Import(pack);
        const RemovalResult done = RemovePack(receipt.path, receipt.receipt, true);
        EXPECT_EQ(done.failure, "");
        EXPECT_TRUE(done.Complete());
        EXPECT_EQ(done.receipt, RemovalResult::Fate::Deleted);
        EXPECT_TRUE(ListReceipts(nullptr).empty());
        EXPECT_EQ(scene.Snapshot(), before);
    }
}

}  // namespace
