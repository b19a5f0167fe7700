// Two imports of different packs into one product at the same time, many times: every album
// and item of both packs ends up in the catalog. And an import that cannot have the lock in
// its time merges and saves nothing. Built twice, like the crash tests.
#include <gtest/gtest.h>

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

TEST(SUITE(Concurrency), NoLockInTimeMeansNoMergeAndNoSave) {
    Sandbox box;
    const std::string product = MakeCatalog("Q", 5, 3);
    WriteFile(box.ProductCatalog(), product);
    const fs::path pack = box.MakePack("X");
    WriteFile(pack / "config.xml", PackCatalog("X"));
    // This process holds the lock as another import would.
    const CString lockPath =
        platform::HostToWindowsPath((box.ProductFolder() / "config.xml.lock").string());
    platform::FileLock* lock = platform::LockFile(lockPath.c_str(), 0);
    ASSERT_NE(lock, nullptr);
    const RunResult held = RunImportProcess(box, "X", {"--lock-timeout", "300"});
    EXPECT_NE(held.output.find("locked=0 targetLoaded=0 merged=0 verified=0 saved=0"),
              std::string::npos)
        << held.output;
    EXPECT_GE(held.seconds, 0.25);
    EXPECT_EQ(ReadFile(box.ProductCatalog()), product);
    platform::UnlockFile(lock);
    const RunResult free = RunImportProcess(box, "X", {"--lock-timeout", "300"});
    EXPECT_NE(free.output.find("saved=1"), std::string::npos) << free.output;
    EXPECT_TRUE(CatalogAlbums(box.ProductCatalog()).count("Xa3"));
}

}  // namespace
}  // namespace reliability
