// Hostile packs and products: huge and deep catalogs, huge names, bytes invalid in the code
// page, entry names that are paths or devices, link loops, a read-only or vanished product
// folder. Each import runs in its own process: it must end by itself, write nothing outside
// the product data folder, stay within a memory bound, and leave the product catalog merged
// correctly or as it was. Built twice; the 100 MB catalog is in the soak form only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <functional>
#include <random>
#include <thread>

#include "reliability/harness.h"

namespace reliability {
namespace {

#ifdef BREVLO_SOAK
constexpr size_t kBigCatalog = 100u << 20;
#else
constexpr size_t kBigCatalog = 8u << 20;
#endif

int gHostileInputs = 0;

// What the catalog must be afterwards: holding the pack's albums, as it was, or either.
enum { kUnchanged, kMerged, kEither };

// Everything in the sandbox but the product data folder.
Snapshot Outside(const Sandbox& box) {
    Snapshot outside;
    // The data folder is not even listed: another user may be changing it meanwhile.
    const auto walk = [&](const auto& self, const fs::path& folder) -> void {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string relative = fs::relative(entry.path(), box.Root()).string();
            if (entry.path() == box.ProductFolder()) continue;
            if (entry.is_symlink()) {
                outside[relative] = "link:" + fs::read_symlink(entry.path()).string();
            } else if (entry.is_directory()) {
                outside[relative + "/"] = "";
                self(self, entry.path());
            } else if (entry.is_regular_file()) {
                outside[relative] = ReadFile(entry.path());
            }
        }
    };
    walk(walk, box.Root());
    return outside;
}

struct Case {
    std::string what;
    std::string product;  // catalog bytes; empty for none
    std::string pack;     // catalog bytes
    int expect;           // kMerged, kUnchanged or kEither
    long memoryLimitKb;
};

// An import that did not complete: exit status 1 and the text that says so.
bool Said(const RunResult& r) {
    return r.exited && r.exitCode == 1 &&
           r.output.find("failure=导入未完成：") != std::string::npos;
}

// Runs the import of pack "p" and checks the common promises.
RunResult Check(Sandbox& box, const Case& c, const std::vector<std::string>& args = {}) {
    SCOPED_TRACE(c.what);
    ++gHostileInputs;
    const Snapshot before = Outside(box);
    // A pipe in its place is never opened here either.
    const std::string oldCatalog =
        fs::is_regular_file(box.ProductCatalog()) ? ReadFile(box.ProductCatalog()) : "";
    const RunResult r = RunImportProcess(box, "p", args, {}, std::chrono::seconds(600));
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    // Anything less than a complete import is said, and leaves the catalog as it was.
    const bool failed = Said(r);
    EXPECT_TRUE(r.exitCode == 0 || failed) << r.output;
    EXPECT_LE(r.maxRssKb, c.memoryLimitKb) << "memory";
    const Snapshot after = Outside(box);
    for (const auto& [relative, content] : after)
        EXPECT_TRUE(before.count(relative) && before.at(relative) == content)
            << relative << " outside the product data folder changed";
    EXPECT_EQ(before.size(), after.size()) << "something outside the product data folder went";
    for (const auto& [relative, content] : after)
        if (!relative.starts_with("p/")) {  // the pack's own hostile names
            EXPECT_EQ(relative.find("escaped"), std::string::npos) << relative;
        }
    if (!fs::is_regular_file(box.ProductCatalog())) return r;
    const std::string now = ReadFile(box.ProductCatalog());
    bool loaded = false;
    const auto albums = CatalogAlbums(box.ProductCatalog(), &loaded);
    const bool merged = loaded && albums.count("Pa0");
    if (failed && !oldCatalog.empty()) {
        EXPECT_TRUE(now == oldCatalog) << r.output;
    }
    if (c.expect == kMerged) {
        EXPECT_NE(r.output.find("saved=1"), std::string::npos) << r.output;
        EXPECT_TRUE(merged) << "pack album missing";
    } else if (c.expect == kUnchanged) {
        EXPECT_TRUE(failed) << r.output;
    } else if (!oldCatalog.empty()) {
        EXPECT_TRUE(now == oldCatalog || merged) << r.output;
    }
    std::printf("%s: %.2f s, %ld MB peak, %s", c.what.c_str(), r.seconds, r.maxRssKb / 1024,
                r.output.c_str());
    return r;
}

constexpr long kSmallMemoryKb = 600 * 1024;

std::string Nested(int depth, const std::string& name) {
    std::string out;
    out.reserve(static_cast<size_t>(depth) * (2 * name.size() + 5));
    for (int i = 0; i < depth; ++i) out += "<" + name + ">";
    for (int i = 0; i < depth; ++i) out += "</" + name + ">";
    return out;
}

// A pack catalog whose first album carries `inside` after its item.
std::string PackWith(const std::string& inside, const std::string& albumName = "Pa0") {
    return "<mirvo><albums><album name=\"" + albumName + "\"><item name=\"i\"/>" + inside +
           "</album></albums></mirvo>";
}

TEST(SUITE(Hostile), HugeCatalogs) {
    Sandbox box;
    box.MakePack("p");
    // Items of about 200 bytes: a catalog of kBigCatalog bytes.
    const int albums = static_cast<int>(kBigCatalog / (200 * 50));
    WriteFile(box.ProductCatalog(), MakeCatalog("Q", albums, 50, 145));
    WriteFile(box.PackFolder("p") / "config.xml", MakeCatalog("P", 3, 5));
    const size_t size = fs::file_size(box.ProductCatalog());
    // Text as UTF-16 twice over (the document and the fresh parse that checks it) and the
    // records: a bound proportional to the catalog, well below what a leak per element costs.
    const long limit = static_cast<long>(size / 1024) * 14 + 300 * 1024;
    Check(box,
          {"product catalog of " + std::to_string(size >> 20) + " MB", "", "", kMerged, limit});
    const auto merged = CatalogAlbums(box.ProductCatalog());
    EXPECT_EQ(merged.size(), static_cast<size_t>(albums + 3));

    Sandbox other;
    other.MakePack("p");
    WriteFile(other.ProductCatalog(), MakeCatalog("Q", 3, 5));
    WriteFile(other.PackFolder("p") / "config.xml", MakeCatalog("P", albums, 50, 145));
    Check(other, {"pack catalog of " + std::to_string(size >> 20) + " MB", "", "", kMerged, limit});
}

TEST(SUITE(Hostile), DeepNestingAndHugeNames) {
    const std::string product = MakeCatalog("Q", 4, 3);
    const std::string hugeName(1 << 20, 'n');
    const std::string nearlyHuge((1 << 20) - 64, 'n');
    const Case cases[] = {
        {"pack nested 100000 deep", "", PackWith(Nested(100000, "d")), kUnchanged, kSmallMemoryKb},
        {"pack nested 60000 deep", "", PackWith(Nested(60000, "d")), kMerged, kSmallMemoryKb},
        {"product nested 100000 deep",
         "<mirvo><albums><album name=\"x\">" + Nested(100000, "d") + "</album></albums></mirvo>",
         MakeCatalog("P", 2, 2), kUnchanged, kSmallMemoryKb},
        {"album name of 1 MB", "",
         "<mirvo><albums><album name=\"Pa0\"/><album name=\"" + hugeName + "\"/></albums></mirvo>",
         kEither, kSmallMemoryKb},
        {"album name just under 1 MB", "",
         "<mirvo><albums><album name=\"Pa0\"/><album name=\"" + nearlyHuge + "\"><item name=\"" +
             nearlyHuge + "\"/></album></albums></mirvo>",
         kMerged, kSmallMemoryKb},
        {"element name of 1 MB", "", PackWith("<" + hugeName + "/>"), kUnchanged, kSmallMemoryKb},
        {"attribute value of 4 MB", "",
         PackWith("<item name=\"big\" note=\"" + std::string(4 << 20, 'v') + "\"/>"), kUnchanged,
         kSmallMemoryKb},
        {"120000 albums of one name", "",
         [] {
             std::string s = "<mirvo><albums><album name=\"Pa0\"/>";
             for (int i = 0; i < 120000; ++i) s += "<album name=\"Pa0\"><item name=\"i\"/></album>";
             return s + "</albums></mirvo>";
         }(),
         kMerged, kSmallMemoryKb},
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.MakePack("p");
        WriteFile(box.ProductCatalog(), c.product.empty() ? product : c.product);
        WriteFile(box.PackFolder("p") / "config.xml", c.pack);
        Check(box, c);
    }
}

TEST(SUITE(Hostile), BytesInvalidInTheCodePage) {
    // Lead bytes without a trail, trail bytes alone, bytes no code page 936 character uses. A
    // lead byte takes the next byte with it, a quotation mark too: such a catalog does not
    // come back from its text, is refused and stays as it was; what merges loads afterwards.
    const std::string bad = "\x81\x20\xff\xfe\x80\xa1";
    const Case cases[] = {
        {"invalid bytes in pack names", MakeCatalog("Q", 4, 3),
         "<mirvo><albums><album name=\"Pa0\"><item name=\"" + bad + "\"/></album><album name=\"" +
             bad + "\"><item name=\"" + bad + bad + "\"/></album></albums></mirvo>",
         kEither, kSmallMemoryKb},
        {"invalid bytes in the product's catalog",
         "<mirvo><!--" + bad + "--><albums><album name=\"" + bad + "\"/></albums></mirvo>",
         PackWith(""), kEither, kSmallMemoryKb},
        {"invalid bytes in markup", MakeCatalog("Q", 2, 2),
         "<mirvo><albums><album name=\"Pa0\"><" + bad + "/></album></albums></mirvo>", kEither,
         kSmallMemoryKb},
        {"invalid bytes before plain ASCII", MakeCatalog("Q", 2, 2),
         PackWith("<item name=\"x" + bad + "yy\" note=\"" + bad + " \"/>"), kEither,
         kSmallMemoryKb},
        {"NUL bytes in the pack's catalog", MakeCatalog("Q", 2, 2),
         PackWith(std::string("<item name=\"a\0b\"/>", 19)), kEither, kSmallMemoryKb},
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.MakePack("p");
        WriteFile(box.ProductCatalog(), c.product);
        WriteFile(box.PackFolder("p") / "config.xml", c.pack);
        Check(box, c);
        // Whatever was saved loads again and is well-formed.
        if (ReadFile(box.ProductCatalog()) != c.product) {
            bool loaded = false;
            CatalogAlbums(box.ProductCatalog(), &loaded);
            EXPECT_TRUE(loaded) << c.what;
        }
    }
}

TEST(SUITE(Hostile), EntryNamesThatArePathsOrDevices) {
    Sandbox box;
    const fs::path pack = box.MakePack("p");
    WriteFile(box.ProductCatalog(), MakeCatalog("Q", 2, 2));
    WriteFile(pack / "config.xml", MakeCatalog("P", 1, 1));
    // On the host a backslash is an ordinary character of a name; in a Windows path it would
    // climb out of the product folder.
    // clang-format off
    const std::vector<std::string> names = {
        "..\\..\\..\\escaped-file", "..\\escaped-up", "sub\\..\\..\\escaped-sub",
        "a:b", "..x", "x..", ".. ", "CONSOLE", "nul2.txt", "trailing.", "trailing ", "?*",
        "<>|\"", std::string(250, 'n')};
    // clang-format on
    for (const std::string& name : names) WriteFile(pack / name, "content of " + name);
    // No pipe is opened (it would block for ever); no set-id or world-writable copy is made.
    ASSERT_EQ(::mkfifo((pack / "pipe").c_str(), 0666), 0);
    fs::permissions(pack / "a:b", fs::perms(06777));
    fs::create_directories(pack / "..\\..\\escaped-folder");
    WriteFile(pack / "..\\..\\escaped-folder" / "inside", "x");
    fs::create_directories(pack / "...");
    WriteFile(pack / "..." / "in-dots", "x");
    gHostileInputs += static_cast<int>(names.size()) + 2;
    Check(box, {"entry names", "", "", kMerged, kSmallMemoryKb});
    EXPECT_TRUE(fs::exists(box.ProductFolder() / std::string(250, 'n')));
    EXPECT_FALSE(fs::exists(box.ProductFolder() / "pipe"));
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(fs::status(box.ProductFolder() / "a:b").permissions(), fs::perms(0777 & ~mask));
    // Nothing climbed out: the sandbox's and its parents' folders hold no escaped entry.
    for (fs::path up = box.Root(); up != up.parent_path(); up = up.parent_path()) {
        for (const char* n : {"escaped-file", "escaped-up", "escaped-sub", "escaped-folder"})
            EXPECT_FALSE(fs::exists(up / n)) << (up / n);
        if (up == fs::temp_directory_path()) break;
    }
}

TEST(SUITE(Hostile), LinkLoopsAndLinksOut) {
    Sandbox box;
    const fs::path pack = box.MakePack("p");
    WriteFile(box.ProductCatalog(), MakeCatalog("Q", 2, 2));
    WriteFile(pack / "config.xml", MakeCatalog("P", 1, 1));
    fs::create_directories(pack / "sub");
    fs::create_directory_symlink(".", pack / "loop");
    fs::create_directory_symlink("..", pack / "sub" / "up");
    fs::create_directory_symlink(box.Root(), pack / "root");
    fs::create_symlink("/etc/hostname", pack / "file-link");
    fs::create_symlink("missing", pack / "dangling");
    WriteFile(pack / "sub" / "real.png", "real");
    gHostileInputs += 4;
    Check(box, {"link loops", "", "", kMerged, kSmallMemoryKb});
    const Snapshot product = Take(box.ProductFolder());
    EXPECT_TRUE(product.count("sub/real.png"));
    for (const auto& [relative, content] : product) {
        EXPECT_FALSE(content.starts_with("link:")) << relative;
        EXPECT_EQ(relative.find("loop"), std::string::npos) << relative;
        EXPECT_EQ(relative.find("file-link"), std::string::npos) << relative;
    }
}

TEST(SUITE(Hostile), ReadOnlyOrVanishedProductFolder) {
    {
        Sandbox box;
        const fs::path pack = box.MakePack("p");
        const std::string product = MakeCatalog("Q", 3, 3);
        WriteFile(box.ProductCatalog(), product);
        WriteFile(pack / "config.xml", MakeCatalog("P", 2, 2));
        MakeFiles(pack, 5, 1000, "ro");
        fs::permissions(box.ProductCatalog(), fs::perms(0444));
        fs::permissions(box.ProductFolder(), fs::perms(0555));
        // Root passes every permission check: the import then runs as "nobody".
        const std::vector<std::string> args =
            ::geteuid() == 0 ? std::vector<std::string>{"--as-nobody"} : std::vector<std::string>{};
        Check(box, {"read-only product folder", "", "", kUnchanged, kSmallMemoryKb}, args);
        EXPECT_EQ(ReadFile(box.ProductCatalog()), product);
        EXPECT_EQ(Take(box.ProductFolder()).size(), 1u);  // no copy, staging or lock file
    }
    {
        Sandbox box;
        const fs::path pack = box.MakePack("p");
        WriteFile(pack / "config.xml", MakeCatalog("P", 2, 2));
        fs::remove_all(box.Install());
        Check(box, {"missing installation", "", "", kUnchanged, kSmallMemoryKb});
        EXPECT_FALSE(fs::exists(box.Install()));
    }
    // The product folder vanishes while the pack is being copied.
    for (int round = 0; round < 5; ++round) {
        Sandbox box;
        const fs::path pack = box.MakePack("p");
        WriteFile(pack / "config.xml", MakeCatalog("P", 2, 2));
        WriteFile(box.ProductCatalog(), MakeCatalog("Q", 3, 3));
        MakeFiles(pack, 200, 20000, "v");
        const Snapshot before = Outside(box);
        const auto started = std::chrono::steady_clock::now();
        const pid_t child = StartImportProcess(box, "p");
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 40 * round));
        std::error_code ignored;
        fs::remove_all(box.ProductFolder(), ignored);
        const RunResult r = Wait(child, started);
        ++gHostileInputs;
        EXPECT_TRUE(r.exited && (r.exitCode == 0 || r.exitCode == 1)) << "round " << round;
        Snapshot after = Outside(box);
        // The product folder may have been made again by the import: only its inside counts.
        after.erase("install/data/marks/");
        Snapshot expected = before;
        expected.erase("install/data/marks/");
        EXPECT_TRUE(after == expected) << "round " << round;
    }
}

// Runs `act` in a child process as "nobody", another user; waits for it unless `background`.
pid_t AsNobody(const std::function<void()>& act, bool background = false) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        act();
        ::_exit(0);
    }
    if (!background) ::waitpid(child, nullptr, 0);
    return child;
}

// What other users and unlucky moments put in the import's way: each is refused before
// anything changes (naming what was refused) or is handled, and a root import into a data
// folder every user may write writes nothing outside it but where the folder's owner's links
// lead, and follows nothing another user planted.
TEST(SUITE(Hostile), OtherHandsInTheDataFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const fs::path shm = "/dev/shm";
    const bool otherVolume =
        fs::is_directory(shm) && fs::status(shm).permissions() != fs::perms::none && [&] {
            struct stat a, b;
            return ::stat(shm.c_str(), &a) == 0 &&
                   ::stat(fs::temp_directory_path().c_str(), &b) == 0 && a.st_dev != b.st_dev;
        }();
    const fs::path away = shm / ("brevlo-album-" + std::to_string(::getpid()));
    struct Row {
        std::string what;
        std::function<void(Sandbox&, const fs::path& data, const fs::path& pack)> setup;
        int expect;
        std::string says;  // in the failure text, when refused
        std::function<void(Sandbox&, const fs::path& data)> after;
    };
    const auto link = [](const fs::path& target, const fs::path& at) {
        return [=] { fs::create_symlink(target, at); };
    };
    const Row rows[] = {
        {"staging folder swapped for a link, over and over",
         [&](Sandbox& b, const fs::path& data, const fs::path&) {
             AsNobody(link(b.Root() / "secret", data / "swap"));
         },
         kEither,
         "",
         {}},
        {"album folder planted as a link by another user",
         [&](Sandbox& b, const fs::path& data, const fs::path&) {
             AsNobody(link(b.Root() / "secret", data / "s1"));
         },
         kUnchanged,
         "未跟随链接“",
         {}},
        {"catalog planted as a link by another user",
         [&](Sandbox& b, const fs::path& data, const fs::path&) {
             fs::rename(data / "config.xml", b.Root() / "secret" / "root-only.xml");
             AsNobody(link(b.Root() / "secret" / "root-only.xml", data / "config.xml"));
         },
         kUnchanged,
         "未跟随链接“",
         {}},
        {"product catalog is a pipe",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             fs::remove(data / "config.xml");
             ::mkfifo((data / "config.xml").c_str(), 0666);
         },
         kUnchanged,
         "不是普通文件",
         {}},
        {"pack catalog is a pipe",
         [&](Sandbox&, const fs::path&, const fs::path& pack) {
             fs::remove(pack / "config.xml");
             ::mkfifo((pack / "config.xml").c_str(), 0666);
         },
         kUnchanged,
         "不是普通文件",
         {}},
        {"names in GBK bytes",
         [&](Sandbox&, const fs::path&, const fs::path& pack) {
             WriteFile(pack / "\xcf\xc4" / "\xba\xa3.png", "gbk");
         },
         kMerged, "",
         [&](Sandbox&, const fs::path& data) {
             EXPECT_EQ(ReadFile(data / "\xcf\xc4" / "\xba\xa3.png"), "gbk");
         }},
        {"album on another file system, linked by the folder's owner",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             if (!otherVolume) return;
             fs::create_directories(away);
             fs::create_directory_symlink(away, data / "s2");
         },
         kMerged, "",
         [&](Sandbox& b, const fs::path& data) {
             if (!otherVolume) return;
             EXPECT_EQ(ReadFile(away / "f2.png"), ReadFile(b.PackFolder("p") / "s2" / "f2.png"));
             EXPECT_FALSE(fs::exists(away / ".brevlo"));
             EXPECT_TRUE(fs::is_symlink(data / "s2"));
             fs::remove_all(away);
         }},
        {"a user's file in the staging folder",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             WriteFile(data / ".brevlo" / "mine.txt", "mine");
         },
         kUnchanged, ".brevlo\\mine.txt",
         [&](Sandbox&, const fs::path& data) {
             EXPECT_EQ(ReadFile(data / ".brevlo" / "mine.txt"), "mine");
         }},
        {"a foreign subfolder in the staging folder",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             WriteFile(data / ".brevlo" / "sub" / "kept", "kept");
         },
         kUnchanged,
         ".brevlo\\sub",
         {}},
        {"an earlier version's staged copy",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             WriteFile(data / ".brevlo" / "1a", "half");
         },
         kMerged, "",
         [&](Sandbox&, const fs::path& data) { EXPECT_FALSE(fs::exists(data / ".brevlo")); }},
        {"catalog linked by the folder's owner",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             fs::create_directories(data / "real");
             fs::rename(data / "config.xml", data / "real" / "catalog.xml");
             fs::create_symlink("real/catalog.xml", data / "config.xml");
         },
         kMerged, "",
         [&](Sandbox&, const fs::path& data) {
             EXPECT_TRUE(fs::is_symlink(data / "config.xml"));
             EXPECT_FALSE(fs::exists(data / "real" / ".brevlo"));
         }},
        {"dangling catalog link",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             fs::remove(data / "config.xml");
             fs::create_symlink("gone.xml", data / "config.xml");
         },
         kUnchanged,
         "gone.xml”的链接，而该文件不存在",
         {}},
        {"read-only catalog",
         [&](Sandbox&, const fs::path& data, const fs::path&) {
             fs::permissions(data / "config.xml", fs::perms(0444));
         },
         kUnchanged,
         "无法替换MirvoPix的目录文件",
         {}},
        {"reserved names in the pack",
         [&](Sandbox&, const fs::path&, const fs::path& pack) {
             for (const char* n : {"CON", "aux.png", "nul.txt", "s1/COM1.png", "lpt1"})
                 WriteFile(pack / n, n);
         },
         kUnchanged,
         "aux.png”",
         {}},
        {"read-only pack into a product without a catalog",
         [&](Sandbox&, const fs::path& data, const fs::path& pack) {
             fs::remove(data / "config.xml");
             fs::permissions(pack / "config.xml", fs::perms(0444));
         },
         kMerged, "",
         [&](Sandbox& b, const fs::path& data) {
             EXPECT_NE(fs::status(data / "config.xml").permissions() & fs::perms::owner_write,
                       fs::perms::none);
             WriteFile(b.PackFolder("p") / "config.xml", MakeCatalog("R", 1, 1));
             fs::permissions(b.PackFolder("p") / "config.xml", fs::perms(0644));
             EXPECT_NE(RunImportProcess(b, "p").output.find("saved=1"), std::string::npos);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sandbox box;
        const fs::path pack = box.MakePack("p");
        const fs::path data = box.ProductFolder();
        WriteFile(pack / "config.xml", MakeCatalog("P", 2, 2));
        MakeFiles(pack, 300, 4096, "other hands");
        WriteFile(box.ProductCatalog(), MakeCatalog("Q", 2, 2));
        // Another user may write in the data folder; what root keeps to itself lies beside.
        fs::permissions(data, fs::perms(0777));
        fs::create_directories(box.Root() / "secret");
        WriteFile(box.Root() / "secret" / "root-only.xml", MakeCatalog("S", 1, 1));
        fs::permissions(box.Root() / "secret", fs::perms(0700));
        row.setup(box, data, pack);
        const Snapshot packBefore = Take(pack);
        pid_t swapper = 0;
        if (row.what.starts_with("staging")) {
            const fs::path staging = data / ".brevlo", swap = data / "swap";
            swapper = AsNobody(
                [=] {
                    for (;;)
                        ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, swap.c_str(),
                                    RENAME_EXCHANGE);
                },
                true);
        }
        const RunResult r = Check(box, {row.what, "", "", row.expect, kSmallMemoryKb});
        if (swapper) {
            ::kill(swapper, SIGKILL);
            ::waitpid(swapper, nullptr, 0);
        }
        EXPECT_NE(r.output.find(row.says), std::string::npos) << r.output;
        if (row.expect == kUnchanged) {
            // Refused before anything changed: not one pack file was copied.
            EXPECT_FALSE(fs::exists(data / "s3" / "f3.png")) << r.output;
        }
        EXPECT_EQ(Take(box.Root() / "secret").size(), 1u);
        EXPECT_EQ(Take(pack), packBefore);
        if (row.after) row.after(box, data);
    }
}

}  // namespace
}  // namespace reliability
