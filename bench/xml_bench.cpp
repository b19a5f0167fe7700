// Parse and load figures beside pugixml on the same generated catalogs, in the same run.
#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalog_gen.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

namespace {

const std::u16string& Catalog(int megabytes) {
    static std::u16string one, ten;
    std::u16string& text = megabytes == 1 ? one : ten;
    // Sized in UTF-8 bytes, the form the peer reads.
    if (text.empty()) text = GenerateCatalogOfSize(static_cast<size_t>(megabytes) * 1000000 * 10 / 13);
    return text;
}

const std::string& Utf8(int megabytes) {
    static std::string one, ten;
    std::string& s = megabytes == 1 ? one : ten;
    if (s.empty()) s = platform::ToUtf8(Catalog(megabytes));
    return s;
}

std::string TempPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/" + name;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void BM_ParseDocument(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    CXmlDocument doc;
    doc.documentText.Assign(Catalog(mb));
    size_t elements = 0;
    for (auto _ : state) {
        doc.resultText.clear();
        benchmark::DoNotOptimize(doc.ParseDocument());
        elements = static_cast<size_t>(doc.nextRecord - 1);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Utf8(mb).size()));
    state.counters["elements"] = static_cast<double>(elements);
    state.counters["index_bytes_per_element"] =
        static_cast<double>(doc.elementIndex.recordCapacity) * sizeof(ElementRecord) /
        static_cast<double>(elements);
}

void BM_PugixmlParseMinimal(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(
            doc.load_buffer(text.data(), text.size(), pugi::parse_minimal, pugi::encoding_utf8));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_LoadFileCp936(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    std::string bytes;
    bool usedDefault = false;
    platform::WideToCodePage(936, Catalog(mb).data(), Catalog(mb).size(), bytes, usedDefault);
    const std::string path = TempPath("brevlo_bench_936.xml");
    WriteBytes(path, bytes);
    const CString wide = platform::FromUtf8(path);
    if (platform::AnsiCodePage() != 936) state.SkipWithError("run with LC_ALL=zh_CN.UTF-8");
    for (auto _ : state) {
        CXmlDocument doc;
        benchmark::DoNotOptimize(doc.LoadFile(wide.c_str()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_PugixmlLoadFileUtf8(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    const std::string path = TempPath("brevlo_bench_utf8.xml");
    WriteBytes(path, text);
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(doc.load_file(path.c_str(), pugi::parse_default));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_ParseDocument)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParseMinimal)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFileCp936)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlLoadFileUtf8)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
