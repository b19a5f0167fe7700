// The import killed with SIGKILL at many moments, and failing at every file operation of the
// catalog's load and save and at many file-size limits: afterwards the product catalog is the
// old one or the complete new one, every copied file is absent or complete, nothing but the
// staging of a killed run is added, a failure is said and leaves the catalog as it was, and a
// rerun completes the import. Built twice: the fast form
// in the default run, the long one (BREVLO_SOAK) under the "soak" label.
#include <gtest/gtest.h>
#include <signal.h>

#include "reliability/harness.h"

namespace reliability {
namespace {

#ifdef BREVLO_SOAK
constexpr int kKillRounds = 200;
constexpr int kProductAlbums = 3000;
constexpr int kPackFiles = 400;
constexpr int kLimitRounds = 60;
#else
constexpr int kKillRounds = 6;
constexpr int kProductAlbums = 600;
constexpr int kPackFiles = 60;
constexpr int kLimitRounds = 6;
#endif
constexpr size_t kPackFileSize = 48 * 1024;

// A staged copy or a temporary of the catalog's save, left by a killed run only.
bool IsLeftover(const std::string& relative) {
    return relative.starts_with(".brevlo/");
}

struct Scenario {
    Sandbox box;
    Snapshot baseline;  // the product folder before the import
    Snapshot pack;      // the pack's files
    std::string oldCatalog;
    std::string newCatalog;  // after an uninterrupted import
    double seconds = 0;      // how long that import took

    Scenario() {
        WriteFile(box.ProductCatalog(), MakeCatalog("Q", kProductAlbums, 20, 60));
        WriteFile(box.ProductFolder() / "s1" / "f1.png", "the product's own, not the pack's");
        const fs::path pack = box.MakePack("p");
        MakeFiles(pack, kPackFiles, kPackFileSize, "pack");
        // New albums, and new items for an album the product has.
        std::string catalog = MakeCatalog("P", 40, 30);
        const std::string extra =
            "\t\t<album name=\"qa1\"><item name=\"Qa1i0\"/><item name=\"new-in-qa1\"/></album>\r\n";
        catalog.insert(catalog.find("\t</albums>"), extra);
        WriteFile(pack / "config.xml", catalog);
        baseline = Take(box.ProductFolder());
        this->pack = Take(pack);
        oldCatalog = baseline.at("config.xml");
        const RunResult r = RunImportProcess(box, "p");
        EXPECT_TRUE(r.exited) << r.output;
        EXPECT_NE(r.output.find("saved=1"), std::string::npos) << r.output;
        seconds = r.seconds;
        newCatalog = ReadFile(box.ProductCatalog());
        const auto albums = CatalogAlbums(box.ProductCatalog());
        EXPECT_EQ(albums.size(), static_cast<size_t>(kProductAlbums + 40));
        EXPECT_EQ(albums.at("Qa1").size(), 21u);
    }

    void Restore() {
        fs::remove_all(box.ProductFolder());
        fs::create_directories(box.ProductFolder());
        for (const auto& [relative, content] : baseline) {
            if (relative.ends_with("/"))
                fs::create_directories(box.ProductFolder() / relative);
            else
                WriteFile(box.ProductFolder() / relative, content);
        }
    }

    // Old or new catalog; each file the product's own, or a complete copy, or a leftover.
    testing::AssertionResult Consistent(bool complete) {
        const Snapshot now = Take(box.ProductFolder());
        const std::string catalog = now.count("config.xml") ? now.at("config.xml") : "<missing>";
        if (catalog != oldCatalog && catalog != newCatalog)
            return testing::AssertionFailure()
                   << "catalog neither old nor new (" << catalog.size() << " bytes)";
        if (complete && catalog != newCatalog)
            return testing::AssertionFailure() << "catalog not the new one after a full run";
        for (const auto& [relative, content] : now) {
            if (relative == "config.xml" || relative.ends_with("/")) continue;
            if (baseline.count(relative)) {
                if (content != baseline.at(relative))
                    return testing::AssertionFailure() << relative << " of the product changed";
            } else if (pack.count(relative)) {
                if (content != pack.at(relative))
                    return testing::AssertionFailure()
                           << relative << " copied incompletely (" << content.size() << " of "
                           << pack.at(relative).size() << " bytes)";
            } else if (complete || !IsLeftover(relative)) {
                return testing::AssertionFailure() << "unexpected file " << relative;
            }
        }
        if (complete) {
            for (const auto& [relative, content] : pack)
                if (!relative.ends_with("/") && !now.count(relative) && relative != "config.xml")
                    return testing::AssertionFailure() << relative << " not copied";
        }
        return testing::AssertionSuccess();
    }

    testing::AssertionResult SaidWhatHappened(const RunResult& r);
};

// After a run that ended by itself: success means everything is in place; anything less is
// said, with the catalog untouched, and nothing is left behind either way.
testing::AssertionResult Scenario::SaidWhatHappened(const RunResult& r) {
    if (r.exitCode == 0) return Consistent(true);
    if (r.exitCode != 1 ||
        r.output.find("failure=\xe5\xaf\xbc\xe5\x85\xa5\xe6\x9c\xaa"
                      "\xe5\xae\x8c\xe6\x88\x90\xef\xbc\x9a") == std::string::npos)
        return testing::AssertionFailure() << "exit " << r.exitCode << ": " << r.output;
    if (ReadFile(box.ProductCatalog()) != oldCatalog)
        return testing::AssertionFailure() << "a failed import changed the catalog";
    for (const auto& [relative, content] : Take(box.ProductFolder()))
        if (IsLeftover(relative)) return testing::AssertionFailure() << relative << " left";
    return Consistent(false);
}

TEST(SUITE(Crash), KilledAtAnyMomentLosesNothing) {
    Scenario s;
    ASSERT_FALSE(HasFailure());
    int killed = 0;
    for (int round = 0; round < kKillRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Kill moments spread over the whole run, from the copy to the save; an import that
        // ran faster than measured (the machine's load varies) is tried at an earlier moment.
        double at = s.seconds * (round + 0.5) / kKillRounds * 1.1;
        for (int attempt = 0; attempt < 4; ++attempt, at /= 2) {
            s.Restore();
            const RunResult r = RunImportProcess(
                s.box, "p", {}, std::chrono::microseconds(static_cast<int64_t>(at * 1e6) + 1));
            ASSERT_TRUE(s.Consistent(false));
            if (r.exited) continue;
            ASSERT_EQ(r.signal, SIGKILL);
            ++killed;
            break;
        }
        // The next import finishes the work.
        const RunResult again = RunImportProcess(s.box, "p");
        ASSERT_TRUE(again.exited) << again.output;
        ASSERT_TRUE(s.Consistent(true));
    }
    RecordProperty("kills", killed);
    std::printf("kills survived: %d of %d rounds (import takes %.2f s)\n", killed, kKillRounds,
                s.seconds);
    EXPECT_GE(killed, kKillRounds / 2);
}

TEST(SUITE(Crash), StopSignalsEndAtAFileBoundaryAndAClosedReaderKillsNothing) {
    Scenario s;
    ASSERT_FALSE(HasFailure());
    int stopped = 0;
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int round = 0; round < kKillRounds; ++round) {
        const int signal = signals[round % 3];
        SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(signal));
        s.Restore();
        const double at = s.seconds * (round + 0.5) / kKillRounds;
        const RunResult r = RunImportProcess(
            s.box, "p", {}, std::chrono::microseconds(static_cast<int64_t>(at * 1e6) + 1),
            std::chrono::seconds(300), signal);
        if (!r.exited) {  // before the program could take the signal: it did nothing yet
            ASSERT_EQ(r.signal, signal);
            ASSERT_TRUE(Take(s.box.ProductFolder()) == s.baseline);
            continue;
        }
        ASSERT_TRUE(s.SaidWhatHappened(r));
        if (r.exitCode == 1) ++stopped;
    }
    EXPECT_GE(stopped, 1);
    s.Restore();
    const RunResult r = RunImportProcess(s.box, "p", {}, {}, std::chrono::seconds(300), SIGPIPE);
    EXPECT_TRUE(r.exited && r.exitCode == 0) << "signal " << r.signal;
    EXPECT_TRUE(s.Consistent(true));
}

TEST(SUITE(Crash), EveryFailingFileOperationLeavesOldOrNew) {
    Scenario s;
    ASSERT_FALSE(HasFailure());
    // Count the operations of an import, then fail each one in turn.
    s.Restore();
    const RunResult count = RunImportProcess(s.box, "p", {"--fail-at", "0"});
    const size_t at = count.output.find("operations=");
    ASSERT_NE(at, std::string::npos) << count.output;
    const long operations = std::stol(count.output.substr(at + 11));
    ASSERT_GT(operations, 5);
    int saved = 0;
    for (long n = 1; n <= operations; ++n) {
        SCOPED_TRACE("failing operation " + std::to_string(n));
        s.Restore();
        const RunResult r = RunImportProcess(s.box, "p", {"--fail-at", std::to_string(n)});
        ASSERT_TRUE(r.exited) << r.output;
        ASSERT_TRUE(s.Consistent(false));
        if (r.output.find("saved=1") != std::string::npos) ++saved;
        ASSERT_TRUE(s.SaidWhatHappened(r));
    }
    std::printf("faults injected: %ld file operations failed one by one, %d still saved\n",
                operations, saved);
}

TEST(SUITE(Crash), FileSizeLimitsLeaveOldOrNew) {
    Scenario s;
    ASSERT_FALSE(HasFailure());
    const size_t largest = std::max(s.newCatalog.size(), kPackFileSize);
    for (int round = 0; round < kLimitRounds; ++round) {
        const size_t limit = largest * static_cast<size_t>(round) / kLimitRounds + 1;
        SCOPED_TRACE("limit " + std::to_string(limit));
        s.Restore();
        const RunResult r = RunImportProcess(s.box, "p", {"--file-limit", std::to_string(limit)});
        ASSERT_TRUE(r.exited) << r.output;
        ASSERT_TRUE(s.Consistent(false));
        ASSERT_TRUE(s.SaidWhatHappened(r));
    }
    std::printf("faults injected: %d file-size limits\n", kLimitRounds);
}

}  // namespace
}  // namespace reliability
