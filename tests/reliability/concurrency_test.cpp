// Two imports of different packs into one product at the same time, many times: every album
// and item of both packs ends up in the catalog. And an import that cannot have the lock in
// its time merges and saves nothing. Built twice, like the crash tests.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <thread>

#include "platform/platform.h"
#include "reliability/harness.h"

namespace reliability {
namespace {

#ifdef BREVLO_SOAK
constexpr int kRuns = 100;
constexpr int kProductAlbums = 2000;
#else
constexpr int kRuns = 6;
constexpr int kProductAlbums = 300;
#endif

// Pack `name`: albums of its own, and new items for an album both packs and the product have.
std::string PackCatalog(const std::string& name) {
    std::string catalog = MakeCatalog(name, 12, 8);
    const std::string shared = "\t\t<album name=\"QA0\"><item name=\"from-" + name +
                               "\"/><item name=\"Qa0i1\"/></album>\r\n";
    catalog.insert(catalog.find("\t</albums>"), shared);
    return catalog;
}

testing::AssertionResult HoldsBothPacks(const fs::path& catalog) {
    bool loaded = false;
    const auto albums = CatalogAlbums(catalog, &loaded);
    if (!loaded) return testing::AssertionFailure() << "catalog does not load";
    for (const char* pack : {"X", "Y"}) {
        for (int a = 0; a < 12; ++a) {
            const std::string album = std::string(pack) + "a" + std::to_string(a);
            if (!albums.count(album)) return testing::AssertionFailure() << album << " missing";
            if (albums.at(album).size() != 8)
                return testing::AssertionFailure() << album << " has " << albums.at(album).size();
        }
    }
    // The product's own album holds its items and one from each pack; with no product catalog
    // at the start it is the first pack's copy that both merge into.
    const std::string shared = albums.count("Qa0") ? "Qa0" : "QA0";
    if (!albums.count(shared)) return testing::AssertionFailure() << "shared album missing";
    {
        const auto& items = albums.at(shared);
        for (const char* item : {"from-X", "from-Y"})
            if (std::find(items.begin(), items.end(), item) == items.end())
                return testing::AssertionFailure() << item << " missing in Qa0";
    }
    return testing::AssertionSuccess();
}

TEST(SUITE(Concurrency), TwoImportsAtOnceLoseNothing) {
    Sandbox box;
    const std::string product = MakeCatalog("Q", kProductAlbums, 10);
    for (const char* name : {"X", "Y"}) {
        const fs::path pack = box.MakePack(name);
        WriteFile(pack / "config.xml", PackCatalog(name));
        MakeFiles(pack, 20, 4096, name);
    }
    int runs = 0;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        fs::remove_all(box.ProductFolder());
        fs::create_directories(box.ProductFolder());
        // Every third run is a first import: no catalog yet, both packs race to bring theirs.
        const bool first = run % 3 == 2;
        if (!first) WriteFile(box.ProductCatalog(), product);
        const auto started = std::chrono::steady_clock::now();
        const pid_t x = StartImportProcess(box, "X");
        const pid_t y = StartImportProcess(box, "Y");
        const RunResult rx = Wait(x, started);
        const RunResult ry = Wait(y, started);
        ASSERT_TRUE(rx.exited && rx.exitCode == 0);
        ASSERT_TRUE(ry.exited && ry.exitCode == 0);
        ASSERT_TRUE(HoldsBothPacks(box.ProductCatalog()));
        if (!first) {
            const auto albums = CatalogAlbums(box.ProductCatalog());
            EXPECT_EQ(albums.size(), static_cast<size_t>(kProductAlbums + 24));
            EXPECT_EQ(albums.at("Qa0").size(), 12u);
        }
        ++runs;
    }
    std::printf("concurrent runs: %d pairs of imports\n", runs);
}

TEST(SUITE(Concurrency), AnImportWaitsForTheLockWithoutAFileInTheProductFolder) {
    Sandbox box;
    WriteFile(box.ProductCatalog(), MakeCatalog("Q", 5, 3));
    WriteFile(box.ProductFolder() / "config.xml.lock", "");  // left by an earlier version
    WriteFile(box.MakePack("X") / "config.xml", PackCatalog("X"));
    // This process holds the lock as another import would: the import waits, untimed.
    platform::Folder product;
    ASSERT_TRUE(product.Open(platform::HostToWindowsPath(box.ProductFolder().string()).c_str()));
    platform::ImportLock* lock = platform::AcquireImportLock(product);
    ASSERT_NE(lock, nullptr);
    // It says that it waits, and a stop signal ends the wait.
    const RunResult stopped = RunImportProcess(box, "X", {}, std::chrono::milliseconds(1500),
                                               std::chrono::seconds(60), SIGTERM);
    EXPECT_TRUE(stopped.exited && stopped.exitCode == 1) << stopped.output;
    EXPECT_EQ(stopped.output.find("waiting\n"), 0u) << stopped.output;
    EXPECT_NE(stopped.output.find("导入已被中断"), std::string::npos) << stopped.output;
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = StartImportProcess(box, "X");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0);
    platform::ReleaseImportLock(lock);
    const RunResult r = Wait(child, started);
    EXPECT_TRUE(r.exited && r.exitCode == 0) << r.output;
    EXPECT_TRUE(CatalogAlbums(box.ProductCatalog()).count("Xa3"));
    // Only the pack's files and the catalog: no lock file, old or new, and no staging.
    Snapshot expected = Take(box.PackFolder("X"));
    expected["config.xml"] = ReadFile(box.ProductCatalog());
    EXPECT_EQ(Take(box.ProductFolder()), expected);
    // A user takes the lock after an import run as root.
    if (::geteuid() == 0) {
        fs::permissions(box.Root(), fs::perms::all, fs::perm_options::add);
        for (const auto& e : fs::recursive_directory_iterator(box.Root()))
            fs::permissions(e.path(), fs::perms::all,
                            fs::perm_options::add | fs::perm_options::nofollow);
        const RunResult user = RunImportProcess(box, "X", {"--as-nobody"});
        EXPECT_NE(user.output.find("locked=1"), std::string::npos) << user.output;
    }
}

// Another program (the product itself may be running) replaces the catalog while the pack is
// being copied: its album is still there afterwards, with every album of the pack.
TEST(SUITE(Concurrency), ACatalogChangedDuringTheImportKeepsTheChange) {
    Sandbox box;
    const fs::path pack = box.MakePack("X");
    WriteFile(pack / "config.xml", PackCatalog("X"));
    MakeFiles(pack, 3000, 4096, "lost update");
    WriteFile(box.ProductCatalog(), MakeCatalog("Q", 5, 3));
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = StartImportProcess(box, "X");
    // Once the copy runs, the catalog was loaded: it is replaced as an editor saves.
    while (!fs::exists(box.ProductFolder() / "s0") && ::waitpid(child, nullptr, WNOHANG) == 0)
        std::this_thread::yield();
    std::string changed = MakeCatalog("Q", 5, 3);
    changed.insert(changed.find("\t</albums>"), "\t\t<album name=\"W\"/>\r\n");
    WriteFile(box.ProductFolder() / "edited.tmp", changed);
    fs::rename(box.ProductFolder() / "edited.tmp", box.ProductCatalog());
    const RunResult r = Wait(child, started);
    ASSERT_TRUE(r.exited && r.exitCode == 0) << r.output;
    const auto albums = CatalogAlbums(box.ProductCatalog());
    EXPECT_TRUE(albums.count("W")) << r.output;
    for (int a = 0; a < 12; ++a) EXPECT_TRUE(albums.count("Xa" + std::to_string(a))) << a;
    EXPECT_EQ(albums.size(), 5u + 1 + 12);  // the product's, W and the pack's
}

}  // namespace
}  // namespace reliability
