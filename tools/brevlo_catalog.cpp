// brevlo-catalog: looks into catalogs the way the tool sees them, for support staff and tests.
// It never writes a file unless told to.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "import/import.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "usage: brevlo-catalog index FILE [--encoding utf-8|ansi]\n"
    "       brevlo-catalog merge PRODUCT PACK [-o OUT]\n"
    "  index  prints every element record, the well-formedness verdict and the result text\n"
    "  merge  merges PACK's catalog into PRODUCT's as the import does and writes the result to\n"
    "         OUT (or to standard output, in the ANSI code page); PRODUCT itself is never\n"
    "         written unless OUT names it. Exit 0 merged, 1 a catalog did not load or is not\n"
    "         of the catalog form, 2 the result could not be written\n";

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A command-line path as the platform layer wants it (a Windows path, or a host path that
// the POSIX layer maps).
CString ArgumentPath(const CString& argument) {
#ifdef _WIN32
    return argument;
#else
    std::string host = platform::ToUtf8(argument);
    if (!host.empty() && host[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) host = std::string(cwd) + "/" + host;
    }
    return platform::FromUtf8(host);
#endif
}

bool LoadUtf8(CXmlDocument& doc, const CString& path) {
    platform::FileSystem& files = platform::Files();
    platform::File* file = files.OpenRead(path.c_str());
    if (!file) {
        doc.resultText = platform::SystemErrorText();
        return false;
    }
    int64_t size = 0;
    std::string bytes;
    size_t done = 0;
    bool ok = files.Size(file, size) && size >= 0 && size < INT32_MAX / 2;
    if (ok) {
        bytes.resize(static_cast<size_t>(size));
        ok = size == 0 || (files.Read(file, bytes.data(), bytes.size(), done) && done == bytes.size());
    }
    if (!ok) doc.resultText = platform::SystemErrorText();
    files.Close(file);
    if (!ok) return false;
    doc.SetDocumentText(platform::FromUtf8(bytes));
    return true;
}

int Index(const std::vector<CString>& args) {
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    bool utf8 = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == u"--encoding" && i + 1 < args.size()) {
            const CString& e = args[++i];
            utf8 = e == u"utf-8" || e == u"UTF-8" || e == u"utf8";
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    CXmlDocument doc;
    const CString path = ArgumentPath(args[0]);
    bool loaded;
    if (utf8) {
        loaded = LoadUtf8(doc, path);
    } else {
        // LoadFile keeps the old (empty) text when the file cannot be read at all.
        doc.LoadFile(path.c_str());
        loaded = doc.documentText.length() > 0 || doc.resultText.find(u" bytes to ") != CString::npos;
    }
    if (!loaded) {
        Print("error: " + platform::ToUtf8(doc.resultText) + "\n");
        return 2;
    }
    std::string out;
    char line[200];
    for (int32_t h = 1; h < doc.nextRecord; ++h) {
        const ElementRecord& r = doc.RecordAt(static_cast<ElementHandle>(h));
        std::snprintf(line, sizeof line, "%d %d %d %d %d %u 0x%x %u %u %u %u\n", h, r.start,
                      r.length, r.StartTagLength(), r.EndTagLength(), r.Level(),
                      r.flags & ~ElemLevelMask, r.parent, r.firstChild, r.nextSibling,
                      r.prevSibling);
        out += line;
    }
    const bool wellFormed = doc.IsWellFormed();
    out += wellFormed ? "wellformed: 1\n" : "wellformed: 0\n";
    out += "result: " + platform::ToUtf8(doc.resultText) + "\n";
    Print(out);
    return wellFormed ? 0 : 1;
}

int Merge(const std::vector<CString>& args) {
    CString out;
    std::vector<CString> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == u"-o" && i + 1 < args.size()) {
            out = ArgumentPath(args[++i]);
        } else {
            files.push_back(ArgumentPath(args[i]));
        }
    }
    if (files.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // Loaded in the worker's order: the pack first, then the product.
    CXmlDocument source, target;
    if (!source.LoadFile(files[1].c_str())) {
        std::fprintf(stderr, "pack: %s\n", platform::ToUtf8(source.resultText).c_str());
        return 1;
    }
    if (!target.LoadFile(files[0].c_str())) {
        std::fprintf(stderr, "product: %s\n", platform::ToUtf8(target.resultText).c_str());
        return 1;
    }
    if (!HasCatalogForm(target)) {
        std::fputs("product: not a catalog (no root \"mirvo\" with \"albums\")\n", stderr);
        return 1;
    }
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    if (!out.empty()) {
        if (!target.SaveFile(out.c_str())) {
            std::fprintf(stderr, "%s\n", platform::ToUtf8(target.resultText).c_str());
            return 2;
        }
        return 0;
    }
    std::string bytes;
    bool usedDefault = false;
    if (!platform::WideToAnsi(target.documentText.c_str(),
                              static_cast<size_t>(target.documentText.length()), bytes,
                              usedDefault) ||
        usedDefault) {
        std::fputs("the result cannot be written in the ANSI code page\n", stderr);
        return 2;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout))
        return 2;
    return 0;
}

int Run(const std::vector<CString>& args) {
    if (args.size() < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<CString> rest(args.begin() + 2, args.end());
    if (args[1] == u"index") return Index(rest);
    if (args[1] == u"merge") return Merge(rest);
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    // Catalog bytes go out as they are: no CRLF translation on standard output.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<CString> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv) {
    std::vector<CString> args;
    for (int i = 0; i < argc; ++i) args.push_back(platform::FromUtf8(argv[i]));
    return Run(args);
}
#endif
