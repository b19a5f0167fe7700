// The lock between imports and the staging of copies, on both backends (Wine runs this too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "support/platform_temp.h"

namespace {

using platform_test::Exists;
using platform_test::ReadBytes;
using platform_test::TempFolder;
using platform_test::WriteBytes;
using Clock = std::chrono::steady_clock;

size_t EntriesIn(const CString& folder) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform_test::HostOf(folder))) {
        (void)entry;
        ++n;
    }
    return n;
}

platform::ImportLock* LockFolder(const CString& path, const std::function<void()>& waiting = {}) {
    platform::Folder folder;
    if (!folder.Open(path.c_str())) return nullptr;
    return platform::AcquireImportLock(folder, waiting);
}

TEST(Lock, ExcludesOthersUntilReleasedWithoutAFileAndGivesUpOnlyOnAStop) {
    TempFolder folder;
    const CString product = folder / u"marks";
    ASSERT_TRUE(platform::CreateFolder(product.c_str()));
    platform::ImportLock* first = LockFolder(product);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(EntriesIn(product), 0u);
    {
        // A waiter says once that it waits, and gives up only when a stop is requested.
        std::thread waiter([&] {
            int said = 0;
            EXPECT_EQ(LockFolder(folder / u"MARKS\\", [&] { ++said; }), nullptr);
            EXPECT_EQ(said, 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platform::RequestStop(true);
        waiter.join();
        platform::RequestStop(false);
    }
    // A waiter gets the lock as soon as it is released.
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        platform::ImportLock* second = LockFolder(product);
        got = second != nullptr;
        platform::ReleaseImportLock(second);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(got);
    const auto released = Clock::now();
    platform::ReleaseImportLock(first);
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_LT(Clock::now() - released, std::chrono::seconds(5));
    platform::ReleaseImportLock(nullptr);
    EXPECT_EQ(EntriesIn(product), 0u);
}

TEST(Lock, CountsStayExactUnderContention) {
    // Threads that each read, bump and rewrite a counter file under the lock lose no update.
    TempFolder folder;
    const CString counter = folder / u"count.txt";
    WriteBytes(counter, "0");
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                platform::ImportLock* lock = LockFolder(folder.Path());
                if (!lock) {
                    ++failures;
                    continue;
                }
                const int value = std::stoi(ReadBytes(counter));
                std::this_thread::yield();
                WriteBytes(counter, std::to_string(value + 1));
                platform::ReleaseImportLock(lock);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ReadBytes(counter), std::to_string(kThreads * kRounds));
}

TEST(Staging, CommitsWholeFilesNeverReplacesAndLeavesNothing) {
    TempFolder folder;
    const CString dst = folder / u"dst";
    ASSERT_TRUE(platform::CreateFolder((folder / u"src").c_str()));
    ASSERT_TRUE(platform::CreateFolder(dst.c_str()));
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    WriteBytes(folder / u"src\\big.bin", content);
    // A killed run's staging, with a read-only copy in it, is cleared by the next; an earlier
    // version's flat leftovers too.
    platform::Folder src, to;
    ASSERT_TRUE(src.Open((folder / u"src").c_str()));
    ASSERT_TRUE(to.Open(dst.c_str()));
    const CString left = dst + u"\\" + platform::kStagingFolderName;
    {
        platform::Staging killed(to);
        ASSERT_TRUE(killed.StageCopy(src, u"big.bin", to, u"big.bin", false));
        const platform::Folder* area = killed.AreaFor(to);
        platform::TempFile readOnly;
        ASSERT_TRUE(area && readOnly.Create(*area));
        ASSERT_TRUE(readOnly.Close());
        CString entry;
        EXPECT_TRUE(platform::Staging(to).Inspect(to, entry));  // in use: not looked into
        // Left as a kill leaves it: the staged files stay on the disk. Their names are copied,
        // not their content: the staging holds them open until they are moved.
        const std::filesystem::path host = platform_test::HostOf(left);
        const std::filesystem::path kept = platform_test::HostOf(folder / u"kept");
        std::filesystem::create_directory(kept);
        for (const auto& e : std::filesystem::recursive_directory_iterator(host)) {
            const std::filesystem::path to = kept / e.path().lexically_relative(host);
            if (e.is_directory())
                std::filesystem::create_directory(to);
            else
                std::ofstream(to) << "staged";
        }
    }
    std::filesystem::rename(platform_test::HostOf(folder / u"kept"), platform_test::HostOf(left));
    WriteBytes(left + u"\\1f", "an earlier version's copy");
    EXPECT_EQ(EntriesIn(left), 2u);

    platform::Staging staging(to);
    CString entry;
    EXPECT_TRUE(staging.Inspect(to, entry)) << platform::ToUtf8(entry);
    WriteBytes(dst + u"\\kept.bin", "kept");
    ASSERT_TRUE(staging.StageCopy(src, u"big.bin", to, u"big.bin", false));
    EXPECT_EQ(EntriesIn(left), 1u);  // only this run's staging folder
    EXPECT_FALSE(staging.StageCopy(src, u"big.bin", to, u"kept.bin", false));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
    // A name as long as the system allows is staged under a short one.
    const CString longName(200, u'n');
    ASSERT_TRUE(staging.StageCopy(src, u"big.bin", to, longName, false));
    // Not there before the commit; one that appears meanwhile keeps its content.
    EXPECT_FALSE(Exists(dst + u"\\big.bin"));
    WriteBytes(dst + u"\\" + longName, "came first");
    CString failed, message;
    EXPECT_TRUE(staging.Commit(&failed, &message));
    EXPECT_EQ(ReadBytes(dst + u"\\big.bin"), content);
    EXPECT_EQ(ReadBytes(dst + u"\\" + longName), "came first");
    EXPECT_EQ(ReadBytes(dst + u"\\kept.bin"), "kept");

    // Replacing, when asked, is whole too.
    ASSERT_TRUE(staging.StageCopy(src, u"big.bin", to, u"kept.bin", true));
    EXPECT_TRUE(staging.Commit());
    EXPECT_EQ(ReadBytes(dst + u"\\kept.bin"), content);

    // A folder in the way fails the commit and names it; a missing source fails the staging.
    ASSERT_TRUE(platform::CreateFolder((dst + u"\\sub").c_str()));
    EXPECT_FALSE(staging.StageCopy(src, u"none", to, u"none", false));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    ASSERT_TRUE(staging.StageCopy(src, u"big.bin", to, u"sub", true));
    EXPECT_FALSE(staging.Commit(&failed, &message));
    EXPECT_EQ(failed, dst + u"\\sub");
    EXPECT_FALSE(message.empty());
    // A user's file in the staging folder is never removed, and stops the next import.
    WriteBytes(left + u"\\mine.txt", "a user's");
    EXPECT_FALSE(staging.Inspect(to, entry));
    EXPECT_EQ(entry, CString(platform::kStagingFolderName) + u"\\mine.txt");
    staging.Remove();
    EXPECT_EQ(ReadBytes(left + u"\\mine.txt"), "a user's");
    EXPECT_EQ(EntriesIn(left), 1u);
}

}  // namespace
