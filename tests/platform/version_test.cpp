// Version records: the contract on fixture programs built by the project (natively read by our
// PE reader, under Wine by the real version API), and natively the reader against hostile PE
// files.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_prefix.h"

#ifndef _WIN32
#include "platform/posix/pe_reader.h"
#endif

namespace {

// The fixed record that versioned.rc declares: FILEVERSION 1,3,2,500, PRODUCTVERSION 1,3,0,0,
// FILEFLAGSMASK 0x3f, FILEOS VOS_NT_WINDOWS32, FILETYPE VFT_APP.
constexpr uint32_t kFixtureRecord[13] = {
    0xFEEF04BD, 0x00010000, 0x00010003, 0x000201F4, 0x00010003, 0x00000000, 0x3F,
    0,          0x00040004, 1,          0,          0,          0,
};

class VersionContract : public scratch::PrefixSuite<VersionContract> {};

// What ReadProductVersion does with a file: size, read, root query.
struct Outcome {
    uint32_t size = 0;
    bool read = false;
    bool queried = false;
    std::vector<uint32_t> record;
};

Outcome ReadVersion(const std::u16string& path) {
    Outcome out;
    out.size = platform::VersionResourceSize(path.c_str());
    if (out.size == 0) return out;
    std::vector<uint32_t> block((out.size + 3) / 4, 0);
    out.read = platform::ReadVersionResource(path.c_str(), out.size, block.data());
    const uint32_t* fixed = nullptr;
    out.queried = out.read && platform::VerQueryRoot(block.data(), out.size, fixed);
    if (out.queried) out.record.assign(fixed, fixed + 13);
    return out;
}

TEST_F(VersionContract, FixturePrograms) {
    struct Case {
        const char* what;
        std::u16string path;
        bool hasRecord;
        uint32_t error;  // checked when there is none; 0 = any
    } cases[] = {
        {"version 1.3.2.500", scratch::FixturePath(u"versioned.exe"), true, 0},
        {"the same in another case", scratch::FixturePath(u"VERSIONED.EXE"), true, 0},
        {"resources without a version record", scratch::FixturePath(u"plain.exe"), false, 0},
        {"a version record under name 2", scratch::FixturePath(u"other_id.exe"), false, 0},
        {"missing file", scratch::FixturePath(u"missing.exe"), false, platform::kErrorFileNotFound},
        {"missing folder", scratch::FixturePath(u"nowhere\\versioned.exe"), false, 0},
        {"a folder", scratch::FixturePath(), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::SetLastError(0);
        Outcome out = ReadVersion(c.path);
        if (!c.hasRecord) {
            EXPECT_EQ(0u, out.size);
            if (c.error) {
                EXPECT_EQ(c.error, platform::GetLastError());
            }
            continue;
        }
        ASSERT_GT(out.size, 0u);
        EXPECT_TRUE(out.read);
        ASSERT_TRUE(out.queried);
        EXPECT_EQ(std::vector<uint32_t>(std::begin(kFixtureRecord), std::end(kFixtureRecord)),
                  out.record);
    }
}

TEST_F(VersionContract, ShortBlocks) {
    const std::u16string path = scratch::FixturePath(u"versioned.exe");
    uint32_t size = platform::VersionResourceSize(path.c_str());
    ASSERT_GT(size, 92u);
    // The root header, key and record take 92 bytes; a block cut shorter has no record.
    for (uint32_t cut : {6u, 40u, 91u}) {
        SCOPED_TRACE(cut);
        std::vector<uint32_t> block(size / 4 + 1, 0);
        ASSERT_TRUE(platform::ReadVersionResource(path.c_str(), size, block.data()));
        const uint32_t* fixed = nullptr;
        EXPECT_FALSE(platform::VerQueryRoot(block.data(), cut, fixed));
        EXPECT_TRUE(platform::VerQueryRoot(block.data(), 92, fixed));
    }
    // A buffer smaller than the resource receives its beginning, which still holds the record.
    std::vector<uint32_t> head(92 / 4, 0);
    ASSERT_TRUE(platform::ReadVersionResource(path.c_str(), 92, head.data()));
    const uint32_t* record = nullptr;
    ASSERT_TRUE(platform::VerQueryRoot(head.data(), 92, record));
    EXPECT_EQ(0x000201F4u, record[3]);

    std::vector<uint32_t> zeros(64, 0);
    const uint32_t* fixed = nullptr;
    EXPECT_FALSE(platform::VerQueryRoot(zeros.data(), 256, fixed));
}

#ifndef _WIN32

// ---- the PE reader against made-up files -------------------------------------------------

// A minimal PE32+ (or PE32) image with one .rsrc section at RVA 0x1000, file offset 0x200:
//   0x00 root (RT_VERSION) -> 0x20 names (1) -> 0x40 languages -> 0x60 data entry A -> 0x80
//   block A; a spare data entry B at 0x70 -> 0xE0 block B (version 2.0.0.0).
class TinyPe {
  public:
    static constexpr uint32_t kLfanew = 0x40;
    static constexpr uint32_t kRsrc = 0x200;
    static constexpr uint32_t kRva = 0x1000;
    static constexpr uint32_t kRoot = kRsrc, kNames = kRsrc + 0x20, kLanguages = kRsrc + 0x40;
    static constexpr uint32_t kEntryA = kRsrc + 0x60, kEntryB = kRsrc + 0x70;
    static constexpr uint32_t kBlockA = kRsrc + 0x80, kBlockB = kRsrc + 0xE0;
    static constexpr uint32_t kBlockSize = 92;

    explicit TinyPe(bool pe32 = false) : bytes(0x400, 0), pe32_(pe32) {
        bytes[0] = 'M';
        bytes[1] = 'Z';
        Put32(0x3C, kLfanew);
        std::memcpy(&bytes[kLfanew], "PE\0\0", 4);
        Put16(kLfanew + 4, 0x8664);
        Put16(SectionCountAt(), 1);
        Put16(OptionalSizeAt(), pe32 ? 224 : 240);
        Put16(OptionalAt(), pe32 ? 0x10B : 0x20B);
        Put32(RvaCountAt(), 16);
        Put32(ResourceDirectoryAt(), kRva);
        Put32(ResourceDirectoryAt() + 4, 0x13C);
        uint32_t s = SectionAt();
        std::memcpy(&bytes[s], ".rsrc", 5);
        Put32(s + 8, 0x13C);   // virtual size
        Put32(s + 12, kRva);   // virtual address
        Put32(s + 16, 0x200);  // raw size
        Put32(s + 20, kRsrc);  // raw offset

        Directory(kRoot, 1);
        Put32(kRoot + 16, 16);
        Put32(kRoot + 20, 0x80000000u | (kNames - kRsrc));
        Directory(kNames, 1);
        Put32(kNames + 16, 1);
        Put32(kNames + 20, 0x80000000u | (kLanguages - kRsrc));
        Directory(kLanguages, 1);
        Put32(kLanguages + 16, 0x804);
        Put32(kLanguages + 20, kEntryA - kRsrc);
        Put32(kLanguages + 24, 0x409);
        Put32(kLanguages + 28, kEntryB - kRsrc);
        DataEntry(kEntryA, kBlockA);
        DataEntry(kEntryB, kBlockB);
        Block(kBlockA, 0x00010003, 0x000201F4);
        Block(kBlockB, 0x00020000, 0);
    }

    uint32_t SectionCountAt() const { return kLfanew + 6; }
    uint32_t OptionalSizeAt() const { return kLfanew + 20; }
    uint32_t OptionalAt() const { return kLfanew + 24; }
    uint32_t RvaCountAt() const { return OptionalAt() + (pe32_ ? 92 : 108); }
    uint32_t ResourceDirectoryAt() const { return OptionalAt() + (pe32_ ? 96 : 112) + 16; }
    uint32_t SectionAt() const { return OptionalAt() + (pe32_ ? 224 : 240); }

    void Put16(uint32_t at, uint32_t v) {
        bytes[at] = uint8_t(v);
        bytes[at + 1] = uint8_t(v >> 8);
    }
    void Put32(uint32_t at, uint32_t v) {
        Put16(at, v & 0xFFFF);
        Put16(at + 2, v >> 16);
    }

    std::vector<uint8_t> bytes;

  private:
    void Directory(uint32_t at, uint32_t ids) { Put16(at + 14, ids); }
    void DataEntry(uint32_t at, uint32_t block) {
        Put32(at, kRva + (block - kRsrc));
        Put32(at + 4, kBlockSize);
    }
    void Block(uint32_t at, uint32_t ms, uint32_t ls) {
        Put16(at, kBlockSize);
        Put16(at + 2, 52);
        const char* key = "VS_VERSION_INFO";
        for (uint32_t i = 0; key[i]; ++i) Put16(at + 6 + 2 * i, uint8_t(key[i]));
        Put32(at + 40, 0xFEEF04BD);
        Put32(at + 44, 0x00010000);
        Put32(at + 48, ms);
        Put32(at + 52, ls);
    }
    bool pe32_;
};

struct Found {
    bool resource = false;
    bool record = false;
    uint32_t versionHigh = 0;
};

Found Inspect(const std::vector<uint8_t>& file) {
    Found found;
    platform::pe::MemorySource source(file.data(), file.size());
    uint64_t offset = 0;
    uint32_t size = 0;
    found.resource = platform::pe::FindVersionResource(source, offset, size);
    if (!found.resource) return found;
    EXPECT_LE(offset + size, file.size());
    std::vector<uint32_t> block((size + 3) / 4);
    EXPECT_TRUE(source.ReadAt(offset, block.data(), size));
    size_t at = 0;
    found.record = platform::pe::FindFixedFileInfo(block.data(), size, at);
    if (found.record) {
        EXPECT_LE(at + 52, size);
        found.versionHigh = block[at / 4 + 2];
    }
    return found;
}

TEST(PeReader, HostileFiles) {
    using P = TinyPe;
    struct Case {
        const char* what;
        bool pe32;
        void (*patch)(TinyPe&);
        bool resource;
        bool record;
    } cases[] = {
        {"well formed", false, [](P&) {}, true, true},
        {"well formed PE32", true, [](P&) {}, true, true},
        {"no MZ", false, [](P& p) { p.bytes[0] = 'X'; }, false, false},
        {"PE header past the end", false, [](P& p) { p.Put32(0x3C, 0x10000); }, false, false},
        {"PE header offset near 4 GiB", false, [](P& p) { p.Put32(0x3C, 0xFFFFFFFF); }, false,
         false},
        {"PE header cut by the end", false, [](P& p) { p.Put32(0x3C, 0x400 - 10); }, false, false},
        {"bad PE signature", false, [](P& p) { p.bytes[P::kLfanew + 2] = 'X'; }, false, false},
        {"unknown optional header", false, [](P& p) { p.Put16(p.OptionalAt(), 0x107); }, false,
         false},
        {"two data directories", false, [](P& p) { p.Put32(p.RvaCountAt(), 2); }, false, false},
        {"optional header too small", false, [](P& p) { p.Put16(p.OptionalSizeAt(), 100); }, false,
         false},
        {"no sections", false, [](P& p) { p.Put16(p.SectionCountAt(), 0); }, false, false},
        {"65535 sections", false, [](P& p) { p.Put16(p.SectionCountAt(), 0xFFFF); }, false, false},
        {"no resource directory", false, [](P& p) { p.Put32(p.ResourceDirectoryAt(), 0); }, false,
         false},
        {"resources outside every section", false,
         [](P& p) { p.Put32(p.ResourceDirectoryAt(), 0x5000); }, false, false},
        {"section data past the end", false, [](P& p) { p.Put32(p.SectionAt() + 20, 0x10000); },
         false, false},
        {"raw size larger than the file", false,
         [](P& p) { p.Put32(p.SectionAt() + 16, 0xFFFFFFFF); }, true, true},
        {"section near 4 GiB", false,
         [](P& p) {
             p.Put32(p.SectionAt() + 12, 0xFFFFFF00);
             p.Put32(p.ResourceDirectoryAt(), 0xFFFFFF00);
         },
         false, false},
        {"root claims 131070 entries", false,
         [](P& p) {
             p.Put16(P::kRoot + 12, 0xFFFF);
             p.Put16(P::kRoot + 14, 0xFFFF);
         },
         false, false},
        {"type entry not a directory", false, [](P& p) { p.Put32(P::kRoot + 20, 0x20); }, false,
         false},
        {"type given by name", false, [](P& p) { p.Put32(P::kRoot + 16, 0x80000010); }, false,
         false},
        {"version under name 2", false, [](P& p) { p.Put32(P::kNames + 16, 2); }, false, false},
        {"type level loops to the root", false, [](P& p) { p.Put32(P::kRoot + 20, 0x80000000); },
         false, false},
        {"name level loops to itself", false, [](P& p) { p.Put32(P::kNames + 20, 0x80000020); },
         false, false},
        {"every level loops to the root", false,
         [](P& p) {
             p.Put16(P::kRoot + 14, 2);
             p.Put32(P::kRoot + 16, 1);
             p.Put32(P::kRoot + 20, 0x80000000);
             p.Put32(P::kRoot + 24, 16);
             p.Put32(P::kRoot + 28, 0x80000000);
         },
         false, false},
        {"subdirectory offset far away", false, [](P& p) { p.Put32(P::kRoot + 20, 0xFFFFFFFF); },
         false, false},
        {"no languages", false, [](P& p) { p.Put16(P::kLanguages + 14, 0); }, false, false},
        {"data entry offset far away", false, [](P& p) { p.Put32(P::kLanguages + 20, 0x7FFFFFFF); },
         false, false},
        {"empty resource", false, [](P& p) { p.Put32(P::kEntryA + 4, 0); }, false, false},
        {"resource of 4 GiB", false, [](P& p) { p.Put32(P::kEntryA + 4, 0xFFFFFFFF); }, false,
         false},
        {"resource past its section", false, [](P& p) { p.Put32(P::kEntryA + 4, 0x200); }, false,
         false},
        {"resource address near 4 GiB", false, [](P& p) { p.Put32(P::kEntryA, 0xFFFFFFF0); }, false,
         false},
        {"no fixed record", false, [](P& p) { p.Put16(P::kBlockA + 2, 0); }, true, false},
        {"fixed record one byte short", false, [](P& p) { p.Put16(P::kBlockA + 2, 51); }, true,
         false},
        {"bad signature", false, [](P& p) { p.Put32(P::kBlockA + 40, 0xFEEF04BE); }, true, false},
        {"block length cuts the record", false, [](P& p) { p.Put16(P::kBlockA, 91); }, true, false},
        {"block length below the header", false, [](P& p) { p.Put16(P::kBlockA, 4); }, true, false},
        {"block length beyond the resource", false, [](P& p) { p.Put16(P::kBlockA, 0xFFFF); }, true,
         true},
        {"key without terminator", false,
         [](P& p) {
             for (uint32_t at = P::kBlockA + 6; at < P::kBlockA + P::kBlockSize; at += 2) {
                 p.Put16(at, 'A');
             }
         },
         true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TinyPe pe(c.pe32);
        c.patch(pe);
        Found found = Inspect(pe.bytes);
        EXPECT_EQ(c.resource, found.resource);
        EXPECT_EQ(c.record, found.record);
        if (found.record) {
            EXPECT_EQ(0x00010003u, found.versionHigh);
        }
    }
}

TEST(PeReader, FirstLanguageWins) {
    TinyPe pe;
    pe.Put16(TinyPe::kLanguages + 14, 2);
    EXPECT_EQ(0x00010003u, Inspect(pe.bytes).versionHigh);
    // Swap the two languages: the block of the first one is taken, whatever its number.
    pe.Put32(TinyPe::kLanguages + 20, TinyPe::kEntryB - TinyPe::kRsrc);
    pe.Put32(TinyPe::kLanguages + 28, TinyPe::kEntryA - TinyPe::kRsrc);
    EXPECT_EQ(0x00020000u, Inspect(pe.bytes).versionHigh);
}

TEST(PeReader, EveryCutOfABlock) {
    TinyPe pe;
    const uint8_t* block = &pe.bytes[TinyPe::kBlockA];
    for (size_t size = 0; size <= TinyPe::kBlockSize; ++size) {
        // Copied to a buffer of exactly that size, so that ASan sees any read beyond it.
        std::vector<uint8_t> copy(block, block + size);
        size_t at = 0;
        EXPECT_EQ(size == TinyPe::kBlockSize,
                  platform::pe::FindFixedFileInfo(copy.empty() ? nullptr : copy.data(), size, at))
            << size;
    }
}

std::vector<uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every cut of the real fixture and every byte of it set to 0x00 and to 0xFF, each held in a
// buffer of its exact size: the reader may fail, never read outside.
TEST(PeReader, CutsAndFlipsOfTheFixture) {
    const std::vector<uint8_t> file = ReadHostFile(BREVLO_FIXTURE_DIR "/versioned.exe");
    ASSERT_GT(file.size(), 512u);
    Found whole = Inspect(file);
    ASSERT_TRUE(whole.record);
    EXPECT_EQ(0x00010003u, whole.versionHigh);
    for (size_t cut = 0; cut < file.size(); ++cut) {
        std::vector<uint8_t> part(file.begin(), file.begin() + long(cut));
        Inspect(part);
    }
    for (size_t at = 0; at < file.size(); ++at) {
        for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF)}) {
            std::vector<uint8_t> bent = file;
            bent[at] = value;
            Inspect(bent);
        }
    }
    std::mt19937 random(777);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bent = file;
        for (int k = 0; k < 4; ++k) bent[random() % bent.size()] = uint8_t(random());
        Inspect(bent);
    }
}

TEST(VersionPosix, TruncatedFileOnDisk) {
    scratch::Prefix prefix;
    std::vector<uint8_t> file = ReadHostFile(BREVLO_FIXTURE_DIR "/versioned.exe");
    ASSERT_FALSE(file.empty());
    std::string cut(file.begin(), file.begin() + long(file.size() / 2));
    prefix.Write("drive_c/cut.exe", cut);
    prefix.Write("drive_c/empty.exe", "");
    EXPECT_EQ(0u, platform::VersionResourceSize(u"C:\\cut.exe"));
    EXPECT_EQ(0u, platform::VersionResourceSize(u"C:\\empty.exe"));
    char buffer[8];
    EXPECT_FALSE(platform::ReadVersionResource(u"C:\\cut.exe", sizeof buffer, buffer));
    EXPECT_FALSE(platform::ReadVersionResource(u"C:\\missing.exe", sizeof buffer, buffer));
    EXPECT_EQ(platform::kErrorFileNotFound, platform::GetLastError());
}

#endif

}  // namespace
