// The XML class beside other XML libraries on the same generated catalogs, in the same run:
// parsing, loading a file, and the cost of single edits.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <tinyxml2.h>

#include <optional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog_gen.h"
#include "platform/platform.h"
#include "xml/internal/XmlInternals.h"

namespace {

// Catalogs of 1 and 10 MB of UTF-8, the form the peers read; ours reads the same text.
const std::u16string& Catalog(int megabytes) {
    static std::u16string texts[11];
    std::u16string& text = texts[megabytes];
    if (text.empty()) text = GenerateCatalogOfSize(static_cast<size_t>(megabytes) * 1000000);
    return text;
}

const std::string& Utf8(int megabytes) {
    static std::string texts[11];
    std::string& s = texts[megabytes];
    if (s.empty()) s = platform::ToUtf8(Catalog(megabytes));
    return s;
}

std::string FilePath(const char* name) {
    ::mkdir(BenchDir().c_str(), 0777);
    return BenchDir() + "/" + name;
}

// ---- parse ------------------------------------------------------------------------------

void BM_ParseDocument(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    CXmlDocument doc;
    doc.SetDocumentText(Catalog(mb));
    for (auto _ : state) {
        benchmark::DoNotOptimize(XmlInternals::ParseDocument(doc));
    }
    const double elements = XmlInternals(doc).NextRecord() - 1;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Utf8(mb).size()));
    state.counters["elements"] = elements;
    // Each record in use is 32 bytes; the parse sizes the index from the text (length / 64 + 8
    // records), which is what it holds allocated.
    state.counters["index_bytes_per_element"] = sizeof(ElementRecord);
    state.counters["index_allocated_bytes_per_element"] =
        static_cast<double>(XmlInternals(doc).Index().recordCapacity) * sizeof(ElementRecord) /
        elements;
}

void PugixmlParse(benchmark::State& state, unsigned options) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(
            doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_PugixmlParseMinimal(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_minimal);
}
void BM_PugixmlParseDefault(benchmark::State& state) {
    PugixmlParse(state, pugi::parse_default);
}

// pugixml's own in-place parse: the copy it otherwise makes first is left out of the time.
void BM_PugixmlParseMinimalInPlace(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    std::string copy;
    for (auto _ : state) {
        state.PauseTiming();
        copy = text;
        pugi::xml_document doc;
        state.ResumeTiming();
        benchmark::DoNotOptimize(doc.load_buffer_inplace(copy.data(), copy.size(),
                                                         pugi::parse_minimal, pugi::encoding_utf8));
        state.PauseTiming();
        doc.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void XMLCALL ExpatStart(void* data, const XML_Char*, const XML_Char**) {
    ++*static_cast<int64_t*>(data);
}
void XMLCALL ExpatEnd(void*, const XML_Char*) {}

void BM_ExpatParse(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    int64_t elements = 0;
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetUserData(parser, &elements);
        XML_SetElementHandler(parser, ExpatStart, ExpatEnd);
        if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK)
            state.SkipWithError("expat: parse error");
        XML_ParserFree(parser);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Tinyxml2Parse(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        tinyxml2::XMLDocument doc;
        if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
            state.SkipWithError("tinyxml2: parse error");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Libxml2Parse(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "catalog.xml",
                                      nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
        if (!doc) state.SkipWithError("libxml2: parse error");
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// ---- load -------------------------------------------------------------------------------

void BM_LoadFileCp936(benchmark::State& state) {
    if (platform::AnsiCodePage() != 936) {
        state.SkipWithError("run with LC_ALL=zh_CN.UTF-8");
        return;
    }
    const int mb = static_cast<int>(state.range(0));
    const std::string bytes = EncodeCatalog(Catalog(mb), 936);
    const std::string path = FilePath("load_936.xml");
    WriteFileBytes(path, bytes);
    const CString wide = platform::HostToWindowsPath(path);
    for (auto _ : state) {
        CXmlDocument doc;
        if (!doc.LoadFile(wide.c_str())) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_PugixmlLoadFileUtf8(benchmark::State& state) {
    const std::string& text = Utf8(static_cast<int>(state.range(0)));
    const std::string path = FilePath("load_utf8.xml");
    WriteFileBytes(path, text);
    for (auto _ : state) {
        pugi::xml_document doc;
        if (!doc.load_file(path.c_str(), pugi::parse_default)) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// ---- edits ------------------------------------------------------------------------------

constexpr int kEdits = 10000;

// The catalog entered down to its "albums", with the main position on album `index` (the
// last one for -1).
void EnterAlbums(CXmlDocument& doc, int index) {
    doc.FindElement(u"mirvo");
    doc.EnterElement();
    doc.FindElement(u"albums");
    doc.EnterElement();
    int n = 0;
    while ((index < 0 || n <= index) && doc.FindElement(u"album")) ++n;
}

// A generated catalog of one album, positioned on that album.
void OneAlbum(CXmlDocument& sample) {
    CatalogShape one;
    one.albums = 1;
    sample.SetDocumentText(GenerateCatalog(one));
    EnterAlbums(sample, 0);
}

int AlbumCount(int mb) {
    CXmlDocument doc;
    doc.SetDocumentText(Catalog(mb));
    doc.FindElement(u"mirvo");
    doc.EnterElement();
    doc.FindElement(u"albums");
    doc.EnterElement();
    int n = 0;
    while (doc.FindElement(u"album")) ++n;
    return n;
}

void AppendAlbums(benchmark::State& state, bool middle) {
    const int mb = static_cast<int>(state.range(0));
    CXmlDocument sample;
    OneAlbum(sample);
    const CString album = sample.GetSubtreeText();
    const int albums = AlbumCount(mb);
    for (auto _ : state) {
        state.PauseTiming();
        CXmlDocument doc;
        doc.SetDocumentText(Catalog(mb));
        EnterAlbums(doc, middle ? albums / 2 : -1);
        state.ResumeTiming();
        for (int i = 0; i < kEdits; ++i) doc.AppendSubtree(album.c_str(), 0);
        state.PauseTiming();
        if (!doc.IsWellFormed()) state.SkipWithError("append broke the document");
        state.ResumeTiming();
    }
    state.counters["edits"] = kEdits;
    state.counters["album_chars"] = static_cast<double>(album.size());
}

void BM_AppendSubtreeAtEnd(benchmark::State& state) {
    AppendAlbums(state, false);
}
void BM_AppendSubtreeInMiddle(benchmark::State& state) {
    AppendAlbums(state, true);
}

void BM_SetContent(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        CXmlDocument doc;
        doc.SetDocumentText(Catalog(mb));
        std::vector<ElementHandle> counts;
        for (ElementHandle h = 1; h < static_cast<ElementHandle>(XmlInternals(doc).NextRecord());
             ++h) {
            if (doc.GetElementName(h) == u"ElemCount") counts.push_back(h);
        }
        state.ResumeTiming();
        // Counts of one to three digits, over every album in turn.
        for (int i = 0; i < kEdits; ++i)
            doc.SetContent(counts[static_cast<size_t>(i) % counts.size()], i % 1000);
    }
    state.counters["edits"] = kEdits;
}

// 10,000 edits through one batch, as the merge and the counts make them: AppendSubtree of an
// item at the end of albums spread over the catalog, and SetContent of counts spread over it,
// in turn; Apply included.
void BM_BatchMixedEdits(benchmark::State& state) {
    const int mb = static_cast<int>(state.range(0));
    CXmlDocument sample;
    OneAlbum(sample);
    sample.EnterElement();
    sample.FindElement(u"item");
    const CString item = sample.GetSubtreeText();
    // Made and dropped while the clock is stopped: freeing the catalog is not the batch's work.
    std::optional<CXmlDocument> made;
    for (auto _ : state) {
        state.PauseTiming();
        CXmlDocument& doc = made.emplace();
        const XmlInternals in(doc);
        doc.SetDocumentText(Catalog(mb));
        EnterAlbums(doc, 0);
        const ElementHandle albumsElement = in.ParentHandle();
        std::vector<ElementHandle> albums, counts;
        for (ElementHandle h = 1; h < static_cast<ElementHandle>(in.NextRecord()); ++h) {
            const CString name = doc.GetElementName(h);
            if (name == u"ElemCount") counts.push_back(h);
            if (name == u"album" && in.Record(h).parent == albumsElement) albums.push_back(h);
        }
        state.ResumeTiming();
        {
            CXmlEditBatch batch(doc);
            for (int i = 0; i < kEdits; ++i) {
                const size_t k = static_cast<size_t>(i) * 7919;
                if (i % 2) {
                    batch.SetContent(counts[k % counts.size()], DecimalText(i % 1000).c_str(), 0);
                } else {
                    batch.AppendSubtree(albums[k % albums.size()], 0, item.c_str(), 0);
                }
            }
            if (!batch.Apply()) state.SkipWithError("batch failed");
        }
        state.PauseTiming();
        if (!doc.IsWellFormed()) state.SkipWithError("the batch broke the document");
        state.ResumeTiming();
    }
    state.counters["edits"] = kEdits;
    state.counters["item_chars"] = static_cast<double>(item.size());
}

BENCHMARK(BM_ParseDocument)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParseMinimal)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParseMinimalInPlace)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlParseDefault)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpatParse)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tinyxml2Parse)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Libxml2Parse)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadFileCp936)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PugixmlLoadFileUtf8)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendSubtreeAtEnd)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendSubtreeInMiddle)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetContent)->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchMixedEdits)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
