// The import beside what a developer would otherwise build it with, in the same run: the
// catalog step (load both catalogs, merge, recount, save) against the same merge over
// pugixml, the recursive copy against `cp -rn`, and the peak memory of an import.
#include <benchmark/benchmark.h>
#include <pugixml.hpp>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog_gen.h"
#include "import/catalog_merge.h"
#include "import/copy_tree.h"
#include "platform/platform.h"
#include "pugixml_merge.h"
#include "xml/XmlDocument.h"

namespace {

constexpr int kProductAlbums = 20000;
constexpr int kPackAlbums = 5000;
constexpr int kItems = 20;

std::string MakeDir(const std::string& path) {
    ::mkdir(path.c_str(), 0777);
    return path;
}

// ---- the catalog step -------------------------------------------------------------------

struct ImportFiles {
    std::string dir, product936, pack936, productUtf8, packUtf8, out936, outUtf8;
    double productUtf16Bytes = 0;
};

// Files of one scale: `scale` times the product and the pack. Made once; a later run reuses
// them.
const ImportFiles& Files(int scale) {
    static ImportFiles files[11];
    ImportFiles& f = files[scale];
    if (!f.dir.empty()) return f;
    f.dir = MakeDir(MakeDir(BenchDir()) + "/import-x" + std::to_string(scale));
    f.product936 = f.dir + "/product-936.xml";
    f.pack936 = f.dir + "/pack-936.xml";
    f.productUtf8 = f.dir + "/product-utf8.xml";
    f.packUtf8 = f.dir + "/pack-utf8.xml";
    f.out936 = f.dir + "/out-936.xml";
    f.outUtf8 = f.dir + "/out-utf8.xml";
    CatalogShape shape;
    shape.albums = kProductAlbums * scale;
    shape.itemsPerAlbum = kItems;
    {
        std::u16string product = GenerateCatalog(shape);
        f.productUtf16Bytes = 2.0 * static_cast<double>(product.size());
        WriteFileBytes(f.product936, EncodeCatalog(product, 936));
    }
    shape.encoding = u"UTF-8";
    WriteFileBytes(f.productUtf8, EncodeCatalog(GenerateCatalog(shape), 65001));
    WriteFileBytes(f.pack936,
                   EncodeCatalog(GeneratePack(shape.albums, kPackAlbums * scale, kItems), 936));
    WriteFileBytes(
        f.packUtf8,
        EncodeCatalog(GeneratePack(shape.albums, kPackAlbums * scale, kItems, u"UTF-8"), 65001));
    return f;
}

bool OursImport(const ImportFiles& f) {
    CXmlDocument source, target;
    if (!source.LoadFile(platform::HostToWindowsPath(f.pack936).c_str())) return false;
    if (!target.LoadFile(platform::HostToWindowsPath(f.product936).c_str())) return false;
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    return target.SaveFile(platform::HostToWindowsPath(f.out936).c_str());
}

bool PugixmlImport(const ImportFiles& f) {
    pugi::xml_document source, target;
    if (!source.load_file(f.packUtf8.c_str(), kPugixmlKeepText)) return false;
    if (!target.load_file(f.productUtf8.c_str(), kPugixmlKeepText)) return false;
    PugixmlMerge(source, target);
    PugixmlUpdateItemCounts(target);
    // pugixml keeps no text outside the root element: the line breaks after the declaration
    // and after the root are written here.
    FILE* out = std::fopen(f.outUtf8.c_str(), "wb");
    if (!out) return false;
    pugi::xml_writer_file writer(out);
    for (pugi::xml_node node : target.children()) {
        node.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
        writer.write("\r\n", 2);
    }
    return std::fclose(out) == 0;
}

// Whether both give the same catalog (ours in code page 936, the peer's in UTF-8, each
// declaring its own encoding).
bool SameOutput(const ImportFiles& f) {
    TextBuffer ours;
    const std::string bytes = ReadFileBytes(f.out936);
    platform::CodePageToWide(936, bytes.data(), bytes.size(), ours);
    std::string oursUtf8 = platform::ToUtf8(ours.view());
    const std::string from = "encoding=\"GB2312\"";
    const size_t at = oursUtf8.find(from);
    if (at != std::string::npos) oursUtf8.replace(at, from.size(), "encoding=\"UTF-8\"");
    return oursUtf8 == ReadFileBytes(f.outUtf8);
}

void BM_ImportCatalogStep(benchmark::State& state) {
    if (platform::AnsiCodePage() != 936) {
        state.SkipWithError("run with LC_ALL=zh_CN.UTF-8");
        return;
    }
    const ImportFiles& f = Files(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (!OursImport(f)) state.SkipWithError("import failed");
    }
    state.counters["product_albums"] = kProductAlbums * static_cast<double>(state.range(0));
    state.counters["pack_albums"] = kPackAlbums * static_cast<double>(state.range(0));
}

void BM_PugixmlImportCatalogStep(benchmark::State& state) {
    const ImportFiles& f = Files(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        if (!PugixmlImport(f)) state.SkipWithError("import failed");
    }
    // Both outputs exist now (ours ran first in this run).
    state.counters["same_output"] = SameOutput(f) ? 1 : 0;
}

// ---- peak memory ------------------------------------------------------------------------

// The import of a 100 MB product catalog (code page 936) in a fresh process, measured by the
// process's peak resident size, against the size of the catalog's UTF-16 text.
void BM_ImportPeakMemory(benchmark::State& state) {
    const std::string dir = MakeDir(MakeDir(BenchDir()) + "/peak");
    const std::string product = dir + "/product-936.xml";
    const std::string pack = dir + "/pack-936.xml";
    const std::string out = dir + "/out-936.xml";
    const double targetBytes = static_cast<double>(state.range(0)) * 1e6;
    // Albums for the size, from the bytes per album of a small sample.
    CatalogShape sample;
    sample.albums = 100;
    const double perAlbum =
        static_cast<double>(EncodeCatalog(GenerateCatalog(sample), 936).size()) / sample.albums;
    CatalogShape shape;
    shape.albums = static_cast<int>(targetBytes / perAlbum);
    double utf16Bytes;
    {
        const std::u16string text = GenerateCatalog(shape);
        utf16Bytes = 2.0 * static_cast<double>(text.size());
        WriteFileBytes(product, EncodeCatalog(text, 936));
    }
    WriteFileBytes(pack, EncodeCatalog(GeneratePack(shape.albums, kPackAlbums, kItems), 936));

    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string helper = self;
    helper = helper.substr(0, helper.rfind('/')) + "/brevlo-import-peak";
    double peak = 0;
    for (auto _ : state) {
        std::vector<char*> argv = {helper.data(), const_cast<char*>(product.c_str()),
                                   const_cast<char*>(pack.c_str()), const_cast<char*>(out.c_str()),
                                   nullptr};
        // fork, not posix_spawn: a vfork child would carry this process's high-water mark
        // through exec into its own.
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execv(helper.c_str(), argv.data());
            ::_exit(127);
        }
        if (pid < 0) {
            state.SkipWithError("cannot start brevlo-import-peak");
            return;
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("import failed");
        peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
    }
    state.counters["peak_bytes"] = peak;
    state.counters["utf16_bytes"] = utf16Bytes;
    state.counters["peak_per_utf16_byte"] = peak / utf16Bytes;
}

// ---- the copy ---------------------------------------------------------------------------

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

struct CopyTreeData {
    std::string source, empty, full;
    int files = 0;
    int64_t bytes = 0;
};

// BREVLO_BENCH_COPY_FILES files (20,000) of BREVLO_BENCH_COPY_MB in all (200), ten to a
// folder, in BREVLO_BENCH_COPY_DIR (on the disk, not in memory).
const CopyTreeData& CopyData() {
    static CopyTreeData d;
    if (!d.source.empty()) return d;
    const char* dir = std::getenv("BREVLO_BENCH_COPY_DIR");
    const std::string root = MakeDir(dir ? dir : "/var/tmp/brevlo-copy-bench");
    d.files = EnvInt("BREVLO_BENCH_COPY_FILES", 20000);
    const int64_t total = static_cast<int64_t>(EnvInt("BREVLO_BENCH_COPY_MB", 200)) * 1000000;
    d.source = root + "/source";
    d.empty = root + "/empty";
    d.full = root + "/full";
    const std::string stamp =
        root + "/stamp-" + std::to_string(d.files) + "-" + std::to_string(total);
    if (ReadFileBytes(stamp).empty()) {
        if (std::system(("rm -rf '" + d.source + "' '" + d.full + "'").c_str()) != 0) std::abort();
        MakeDir(d.source);
        std::mt19937 rng(3);
        std::string content(static_cast<size_t>(total / d.files), 'x');
        for (char& c : content) c = static_cast<char>('a' + rng() % 26);
        for (int i = 0; i < d.files; ++i) {
            const std::string folder = MakeDir(d.source + "/folder" + std::to_string(i / 10));
            WriteFileBytes(folder + "/file" + std::to_string(i) + ".png", content);
        }
        if (std::system(
                ("mkdir -p '" + d.full + "' && cp -r '" + d.source + "/.' '" + d.full + "/'")
                    .c_str()) != 0)
            std::abort();
        WriteFileBytes(stamp, "ok");
    }
    d.bytes = total;
    return d;
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::abort();
}

void CopyBench(benchmark::State& state, bool ours, bool intoFull) {
    const CopyTreeData& d = CopyData();
    const std::string destination = intoFull ? d.full : d.empty;
    for (auto _ : state) {
        if (!intoFull) Run("rm -rf '" + d.empty + "' && mkdir '" + d.empty + "'");
        Run("sync");
        const auto start = std::chrono::steady_clock::now();
        if (ours) {
            CopyTree(platform::HostToWindowsPath(d.source),
                     platform::HostToWindowsPath(destination), 0);
        } else {
            Run("cp -rn '" + d.source + "/.' '" + destination + "/'");
        }
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.counters["files"] = d.files;
    state.counters["bytes"] = static_cast<double>(d.bytes);
}

void BM_CopyTreeIntoEmpty(benchmark::State& state) {
    CopyBench(state, true, false);
}
void BM_CpRnIntoEmpty(benchmark::State& state) {
    CopyBench(state, false, false);
}
void BM_CopyTreeIntoFull(benchmark::State& state) {
    CopyBench(state, true, true);
}
void BM_CpRnIntoFull(benchmark::State& state) {
    CopyBench(state, false, true);
}

// First, while this process is still small: the child starts with a copy of it.
BENCHMARK(BM_ImportPeakMemory)->Arg(100)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportCatalogStep)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlImportCatalogStep)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyTreeIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpRnIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyTreeIntoFull)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpRnIntoFull)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
