// The lock between imports and the crash-safe copy, on both backends (Wine runs this too).
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

TEST(Lock, ExcludesOthersUntilReleasedAndWaitsBounded) {
    TempFolder folder;
    const CString path = folder / u"config.xml.lock";
    platform::FileLock* first = platform::LockFile(path.c_str(), 0);
    ASSERT_NE(first, nullptr) << platform::GetLastError();
    EXPECT_TRUE(Exists(path));  // made when missing, and left in place

    // Another holder (a thread with its own handle) waits its time and gives up.
    std::atomic<uint32_t> error{0};
    std::atomic<int64_t> waited{0};
    std::thread other([&] {
        const auto started = Clock::now();
        platform::FileLock* second = platform::LockFile(path.c_str(), 300);
        waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        error = second ? 0u : platform::GetLastError();
        platform::UnlockFile(second);
    });
    other.join();
    EXPECT_EQ(error, platform::kErrorLockViolation);
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 5000);

    // A waiter gets the lock as soon as it is released.
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        platform::FileLock* second = platform::LockFile(path.c_str(), 20000);
        got = second != nullptr;
        platform::UnlockFile(second);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(got);
    const auto released = Clock::now();
    platform::UnlockFile(first);
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_LT(Clock::now() - released, std::chrono::seconds(5));

    // Free again, and a lock in a missing folder fails at once.
    platform::FileLock* again = platform::LockFile(path.c_str(), 0);
    EXPECT_NE(again, nullptr);
    platform::UnlockFile(again);
    platform::UnlockFile(nullptr);
    EXPECT_EQ(platform::LockFile((folder / u"missing\\x.lock").c_str(), 1000), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
}

TEST(Lock, CountsStayExactUnderContention) {
    // Threads that each read, bump and rewrite a counter file under the lock lose no update.
    TempFolder folder;
    const CString lockPath = folder / u"c.lock";
    const CString counter = folder / u"count.txt";
    WriteBytes(counter, "0");
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                platform::FileLock* lock = platform::LockFile(lockPath.c_str(), 30000);
                if (!lock) {
                    ++failures;
                    continue;
                }
                const int value = std::stoi(ReadBytes(counter));
                std::this_thread::yield();
                WriteBytes(counter, std::to_string(value + 1));
                platform::UnlockFile(lock);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ReadBytes(counter), std::to_string(kThreads * kRounds));
}

TEST(CrashSafeCopy, LeavesNoTemporaryAndNeverReplaces) {
    TempFolder folder;
    const CString source = folder / u"src\\big.bin";
    ASSERT_TRUE(platform::CreateDirectory((folder / u"src").c_str()));
    ASSERT_TRUE(platform::CreateDirectory((folder / u"dst").c_str()));
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    WriteBytes(source, content);
    const CString target = folder / u"dst\\big.bin";

    ASSERT_TRUE(platform::CopyFile(source.c_str(), target.c_str(), true));
    EXPECT_EQ(ReadBytes(target), content);
    EXPECT_EQ(EntriesIn(folder / u"dst"), 1u);  // no temporary beside it

    WriteBytes(target, "kept");
    EXPECT_FALSE(platform::CopyFile(source.c_str(), target.c_str(), true));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileExists);
    EXPECT_EQ(ReadBytes(target), "kept");
    EXPECT_EQ(EntriesIn(folder / u"dst"), 1u);

    // Replacing, when asked, is whole too.
    ASSERT_TRUE(platform::CopyFile(source.c_str(), target.c_str(), false));
    EXPECT_EQ(ReadBytes(target), content);
    EXPECT_EQ(EntriesIn(folder / u"dst"), 1u);

    // A folder in the way is refused without a trace.
    ASSERT_TRUE(platform::CreateDirectory((folder / u"dst\\sub").c_str()));
    EXPECT_FALSE(platform::CopyFile(source.c_str(), (folder / u"dst\\sub").c_str(), false));
    EXPECT_FALSE(platform::CopyFile(source.c_str(), (folder / u"dst\\sub").c_str(), true));
    EXPECT_EQ(EntriesIn(folder / u"dst"), 2u);

    // A missing source leaves nothing behind either.
    EXPECT_FALSE(
        platform::CopyFile((folder / u"src\\none").c_str(), (folder / u"dst\\none").c_str(), true));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
    EXPECT_EQ(EntriesIn(folder / u"dst"), 2u);
}

TEST(CrashSafeCopy, RacingCopiesOfOneFileLeaveOneWholeFile) {
    // Copies of two different sources to one name at once: exactly one wins, whole, the
    // other fails with 80, and no temporary remains.
    TempFolder folder;
    const std::string a(200000, 'a');
    const std::string b(200000, 'b');
    WriteBytes(folder / u"a.bin", a);
    WriteBytes(folder / u"b.bin", b);
    ASSERT_TRUE(platform::CreateDirectory((folder / u"dst").c_str()));
    for (int round = 0; round < 20; ++round) {
        const CString target = folder / (u"dst\\t" + platform::FromUtf8(std::to_string(round)));
        std::atomic<int> wins{0};
        std::atomic<int> exists{0};
        auto copy = [&](const CString& from) {
            if (platform::CopyFile(from.c_str(), target.c_str(), true))
                ++wins;
            else if (platform::GetLastError() == platform::kErrorFileExists)
                ++exists;
        };
        std::thread one(copy, folder / u"a.bin");
        std::thread two(copy, folder / u"b.bin");
        one.join();
        two.join();
        EXPECT_EQ(wins, 1);
        EXPECT_EQ(exists, 1);
        const std::string got = ReadBytes(target);
        EXPECT_TRUE(got == a || got == b) << got.size();
    }
    EXPECT_EQ(EntriesIn(folder / u"dst"), 20u);
}

}  // namespace
