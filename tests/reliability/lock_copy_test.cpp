// The lock between imports and the staging of copies, on both backends (Wine runs this too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
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

TEST(Lock, ExcludesOthersUntilReleasedWithoutAFileAndGivesUpOnlyOnAStop) {
    TempFolder folder;
    const CString product = folder / u"marks";
    ASSERT_TRUE(platform::CreateFolder(product.c_str()));
    platform::ImportLock* first = platform::AcquireImportLock(product.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(EntriesIn(product), 0u);
    {
        // A waiter gives up only when a stop is requested, and the holder keeps the lock.
        std::thread waiter([&] {
            EXPECT_EQ(platform::AcquireImportLock((folder / u"MARKS\\").c_str()), nullptr);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platform::RequestStop(true);
        waiter.join();
        platform::RequestStop(false);
    }
    // A waiter gets the lock as soon as it is released.
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        platform::ImportLock* second = platform::AcquireImportLock(product.c_str());
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
                platform::ImportLock* lock = platform::AcquireImportLock(folder.Path().c_str());
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
    const CString source = folder / u"src\\big.bin";
    const CString dst = folder / u"dst";
    ASSERT_TRUE(platform::CreateFolder((folder / u"src").c_str()));
    ASSERT_TRUE(platform::CreateFolder(dst.c_str()));
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    WriteBytes(source, content);
    // A killed run's staging, with a read-only copy in it, is cleared by the next.
    const CString left = dst + u"\\" + platform::kStagingFolderName;
    ASSERT_TRUE(platform::CreateFolder(left.c_str()));
    WriteBytes(left + u"\\1", "half a copy");
    platform_test::MakeReadOnly(left + u"\\1");

    platform::Staging staging;
    ASSERT_TRUE(staging.Open(dst.c_str()));
    EXPECT_EQ(EntriesIn(left), 0u);
    const CString target = dst + u"\\" + u"big.bin";
    WriteBytes(dst + u"\\" + u"kept.bin", "kept");
    ASSERT_TRUE(staging.StageFile(source.c_str(), target.c_str(), true));
    EXPECT_FALSE(staging.StageFile(source.c_str(), (dst + u"\\" + u"kept.bin").c_str(), true));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
    // A name as long as the system allows is staged under a short one.
    const CString longName = dst + u"\\" + CString(200, u'n');
    ASSERT_TRUE(staging.StageFile(source.c_str(), longName.c_str(), true));
    // Not there before the commit; one that appears meanwhile keeps its content.
    EXPECT_FALSE(Exists(target));
    WriteBytes(longName, "came first");
    CString failed, message;
    EXPECT_TRUE(staging.Commit(&failed, &message));
    EXPECT_EQ(ReadBytes(target), content);
    EXPECT_EQ(ReadBytes(longName), "came first");
    EXPECT_EQ(ReadBytes(dst + u"\\" + u"kept.bin"), "kept");

    // Replacing, when asked, is whole too.
    ASSERT_TRUE(staging.StageFile(source.c_str(), (dst + u"\\" + u"kept.bin").c_str(), false));
    EXPECT_TRUE(staging.Commit());
    EXPECT_EQ(ReadBytes(dst + u"\\" + u"kept.bin"), content);

    // A folder in the way fails the commit and names it; a missing source fails the staging.
    ASSERT_TRUE(platform::CreateFolder((dst + u"\\" + u"sub").c_str()));
    EXPECT_FALSE(
        staging.StageFile((folder / u"src\\none").c_str(), (dst + u"\\" + u"none").c_str(), true));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    ASSERT_TRUE(staging.StageFile(source.c_str(), (dst + u"\\" + u"sub\\x\\y").c_str(), true));
    EXPECT_FALSE(staging.Commit(&failed, &message));
    EXPECT_EQ(failed, dst + u"\\" + u"sub\\x\\y");
    EXPECT_FALSE(message.empty());
    staging.Remove();
    EXPECT_EQ(EntriesIn(dst), 4u);  // big.bin, kept.bin, the long name and sub: no staging
}

}  // namespace
