// brevlo-catalog: looks into catalogs and packs the way the tool sees them, for pack authors,
// support staff and tests. It never writes a file unless told to.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brevlo_version.h"
#include "import/catalog_merge.h"
#include "import/import_texts.h"
#include "import/receipt.h"
#include "import/remove_pack.h"
#include "platform/ascii_fold.h"
#include "platform/platform.h"
#include "tools/catalog_index.h"
#include "tools/pack_check.h"
#include "xml/XmlDocument.h"

namespace {

// Exit statuses; usage errors are kept apart from what the work found (sysexits' EX_USAGE).
enum : int { kDone = 0, kFound = 1, kIoError = 2, kUsageError = 64 };

const char kHelp[] =
    "usage: brevlo-catalog check PACK_FOLDER [--codepage N]\n"
    "       brevlo-catalog index FILE [--encoding ansi|utf-8]\n"
    "       brevlo-catalog merge PRODUCT PACK [-o OUT]\n"
    "       brevlo-catalog receipts [PRODUCT_DATA_FOLDER]\n"
    "       brevlo-catalog remove RECEIPT [--apply]\n"
    "       brevlo-catalog --help | --version\n"
    "\n"
    "  check  checks a pack folder (the material folder named after the command word, with\n"
    "         its config.xml) as the import and Windows will see it, reading the catalog in\n"
    "         code page N (default 936). One finding a line, FILE:LINE:COLUMN: error: ... or\n"
    "         warning: ..., with paths relative to the pack folder, then a summary line\n"
    "  index  prints every element record of FILE, the well-formedness verdict and the result\n"
    "         text; FILE is read in the ANSI code page unless --encoding utf-8 is given\n"
    "  merge  merges PACK's catalog into PRODUCT's as the import does and writes the result to\n"
    "         OUT (or to standard output) in the ANSI code page; PRODUCT itself is never\n"
    "         written unless OUT names it\n"
    "  receipts  lists the receipts of completed imports (of one product data folder, or\n"
    "         all), newest first: date, pack, what the import placed, the receipt's file\n"
    "  remove  takes the pack of an import out again, as far as RECEIPT (a file that\n"
    "         receipts lists) shows it unchanged and nothing relies on it: one line for\n"
    "         each thing it takes out and for each thing it keeps, with why. Without\n"
    "         --apply it only says so and changes nothing\n"
    "\n"
    "exit status:\n"
    "  0   check: no errors; index: well-formed; merge: merged and written; remove:\n"
    "      everything taken out (or, without --apply, everything would be)\n"
    "  1   check: errors found; index: not well-formed; merge: a catalog did not load or the\n"
    "      product's is not of the catalog form; remove: something kept\n"
    "  2   index: FILE could not be read; merge: OUT could not be written; remove: no such\n"
    "      receipt, or it stopped (what it did before is listed); any command: standard\n"
    "      output could not be written\n"
    "  64  the command line is wrong\n";

bool gWriteFailed = false;

void Out(const std::string& text) {
    if (!platform::WriteToolText(platform::ToolStream::Output, text)) gWriteFailed = true;
}
void Err(const std::string& text) {
    platform::WriteToolText(platform::ToolStream::Error, text);
}

int Usage(const std::string& problem) {
    Err("brevlo-catalog: " + problem + "\nTry 'brevlo-catalog --help'.\n");
    return kUsageError;
}

// Lets a status stand only if everything reached standard output.
int Finish(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) gWriteFailed = true;
    if (!gWriteFailed) return status;
    Err("brevlo-catalog: standard output could not be written\n");
    return kIoError;
}

// `problem` gets the system's message when the file cannot be read.
bool LoadUtf8(CXmlDocument& doc, const CString& path, CString& problem) {
    platform::FileSystem& files = platform::Files();
    platform::File* file = files.OpenRead(path.c_str());
    if (!file) {
        problem = platform::SystemErrorText();
        return false;
    }
    int64_t size = 0;
    std::string bytes;
    size_t done = 0;
    bool ok = files.Size(file, size) && size >= 0 && size < INT32_MAX / 2;
    if (ok) {
        bytes.resize(static_cast<size_t>(size));
        ok = size == 0 ||
             (files.Read(file, bytes.data(), bytes.size(), done) && done == bytes.size());
    }
    if (!ok) problem = platform::SystemErrorText();
    files.Close(file);
    if (!ok) return false;
    doc.SetDocumentText(platform::FromUtf8(bytes));
    return true;
}

bool IsUtf8Name(const CString& e) {
    CString lower;
    for (char16_t c : e) lower += platform::FoldAscii(c);
    return lower == u"utf-8" || lower == u"utf8";
}

bool IsAnsiName(const CString& e) {
    return e == u"ansi" || e == u"ANSI";
}

int Index(const std::vector<CString>& args) {
    bool utf8 = false;
    CString file;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == u"--encoding") {
            if (i + 1 == args.size()) return Usage("--encoding needs a value");
            const CString& e = args[++i];
            if (!IsUtf8Name(e) && !IsAnsiName(e))
                return Usage("unknown encoding \"" + platform::ToUtf8(e) +
                             "\"; known: ansi, utf-8");
            utf8 = IsUtf8Name(e);
        } else if (file.empty() && !args[i].starts_with(u"-")) {
            file = args[i];
        } else {
            return Usage("unexpected argument \"" + platform::ToUtf8(args[i]) + "\"");
        }
    }
    if (file.empty()) return Usage("index needs a FILE");
    CXmlDocument doc;
    const CString path = platform::CommandLinePath(file);
    bool loaded;
    CString problem;
    if (utf8) {
        loaded = LoadUtf8(doc, path, problem);
    } else {
        // LoadFile keeps the old (empty) text when the file cannot be read at all.
        doc.LoadFile(path.c_str());
        loaded = doc.DocumentText().length() > 0 ||
                 doc.ResultText().find(u" bytes to ") != CString::npos;
        problem = doc.ResultText();
    }
    if (!loaded) {
        Err("brevlo-catalog: " + platform::ToUtf8(file) + ": " + platform::ToUtf8(problem) + "\n");
        return kIoError;
    }
    const bool wellFormed = doc.IsWellFormed();
    Out(RecordLines(doc) + (wellFormed ? "wellformed: 1\n" : "wellformed: 0\n") +
        "result: " + platform::ToUtf8(doc.ResultText()) + "\n");
    return Finish(wellFormed ? kDone : kFound);
}

const char kNotAnsi[] = "the result cannot be written in the ANSI code page";

// The catalog's bytes in the ANSI code page; false when a character has none there.
bool CatalogBytes(const CXmlDocument& doc, std::string& bytes) {
    bool usedDefault = false;
    const TextBuffer& text = doc.DocumentText();
    return platform::WideToAnsi(text.c_str(), static_cast<size_t>(text.length()), bytes,
                                usedDefault) &&
           !usedDefault;
}

// Saves the document to `path` as the import saves a catalog (a link is written through to its
// target). A FIFO, a device or a terminal is written into instead: replacing it by rename
// would put a regular file in its place. False with `message` set on failure.
bool SaveCatalogTo(CXmlDocument& doc, const CString& path, std::string& message) {
    if (!platform::IsStreamFile(path.c_str())) {
        if (doc.SaveFile(path.c_str())) return true;
        message = platform::ToUtf8(doc.ResultText());
        return false;
    }
    std::string bytes;
    if (!CatalogBytes(doc, bytes)) {
        message = kNotAnsi;
        return false;
    }
    if (platform::WriteIntoFile(path.c_str(), bytes.data(), bytes.size())) return true;
    message = platform::ToUtf8(platform::SystemErrorText());
    return false;
}

int Merge(const std::vector<CString>& args) {
    CString out;
    std::vector<CString> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == u"-o") {
            if (i + 1 == args.size()) return Usage("-o needs a file");
            out = platform::CommandLinePath(args[++i]);
        } else if (args[i].starts_with(u"-") && args[i] != u"-") {
            return Usage("unexpected option \"" + platform::ToUtf8(args[i]) + "\"");
        } else {
            files.push_back(platform::CommandLinePath(args[i]));
        }
    }
    if (files.size() != 2) return Usage("merge needs PRODUCT and PACK");
    // Loaded in the worker's order: the pack first, then the product. Only a product's
    // catalog of the catalog form is merged into; a pack's of another form gives the albums
    // that stand one level higher, as in the import.
    CXmlDocument source, target;
    if (!source.LoadFile(files[1].c_str())) {
        Err("pack: " + platform::ToUtf8(source.ResultText()) + "\n");
        return kFound;
    }
    if (!target.LoadFile(files[0].c_str())) {
        Err("product: " + platform::ToUtf8(target.ResultText()) + "\n");
        return kFound;
    }
    if (!HasCatalogForm(target)) {
        Err("product: not a catalog (no root \"mirvo\" with \"albums\")\n");
        return kFound;
    }
    MergeCatalog(source, target);
    UpdateItemCounts(target);
    if (!out.empty()) {
        std::string message;
        if (!SaveCatalogTo(target, out, message)) {
            Err(platform::ToUtf8(out) + ": " + message + "\n");
            return kIoError;
        }
        return kDone;
    }
    std::string bytes;
    if (!CatalogBytes(target, bytes)) {
        Err(std::string(kNotAnsi) + "\n");
        return kIoError;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) gWriteFailed = true;
    return Finish(kDone);
}

// The items an album's text holds, as the merge counts them.
int ItemsIn(const CString& albumText) {
    CXmlDocument album;
    album.SetDocumentText(albumText.c_str());
    int items = 0;
    if (album.FindElement(u"album") && album.EnterElement())
        while (album.FindElement(u"item")) ++items;
    return items;
}

std::string Counted(size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

int Receipts(const std::vector<CString>& args) {
    CString product;
    for (const CString& arg : args) {
        if (!product.empty() || arg.starts_with(u"-"))
            return Usage("unexpected argument \"" + platform::ToUtf8(arg) + "\"");
        product = platform::HostToWindowsPath(platform::ToUtf8(platform::CommandLinePath(arg)));
    }
    std::vector<std::pair<CString, std::string>> unreadable;
    std::string text;
    for (const ReceiptFile& file : ListReceipts(&unreadable)) {
        const Receipt& r = file.receipt;
        if (!product.empty() && !SameFolderPath(product, r.productFolder)) continue;
        size_t albums = 0, items = 0;
        for (const Receipt::Change& c : r.changes) {
            if (c.kind == Receipt::Kind::Album) {
                ++albums;
                items += static_cast<size_t>(ItemsIn(c.text));
            } else if (c.kind == Receipt::Kind::Item) {
                ++items;
            }
        }
        text += platform::ToUtf8(r.date) + "  " + platform::ToUtf8(r.packFolder) + "\n";
        text += "  product  " + platform::ToUtf8(r.productFolder) + "\n";
        text += "  placed   " + Counted(r.files.size(), "file") + ", " + Counted(albums, "album") +
                ", " + Counted(items, "item") + (r.catalogCreated ? ", the catalog" : "") + "\n";
        text += "  receipt  " + platform::WindowsToHostPath(file.path.c_str()) + "\n";
    }
    Out(text);
    for (const auto& [path, problem] : unreadable)
        Err("brevlo-catalog: " + platform::WindowsToHostPath(path.c_str()) + ": " + problem + "\n");
    return Finish(kDone);
}

std::string Shown(std::u16string_view text) {
    return platform::ToUtf8(ShownName(text));
}

std::string Quoted(std::u16string_view text) {
    return "\"" + Shown(text) + "\"";
}

// What a step is about: `album "A"`, `file a\b.png`, ...
std::string Subject(const RemovalStep& s) {
    switch (s.what) {
        case RemovalStep::What::Album:
            return "album " + Quoted(s.name);
        case RemovalStep::What::Item:
            return "item " + Quoted(s.name) + " of album " + Quoted(s.album);
        case RemovalStep::What::Count:
            return "count of album " + Quoted(s.album);
        case RemovalStep::What::File:
            return "file " + Shown(s.name);
        case RemovalStep::What::Folder:
            return "folder " + Shown(s.name);
        case RemovalStep::What::Catalog:
            break;
    }
    return "catalog " + Shown(s.name);
}

std::string Why(const RemovalStep& s) {
    using Kept = RemovalStep::Kept;
    switch (s.kept) {
        case Kept::Changed:
            return "changed since the import";
        case Kept::Named:
            return "still named by " + Shown(s.by);
        case Kept::ReliedOn:
            return "found in place by the later import of " + Shown(s.by) + " (" + Shown(s.when) +
                   ")";
        case Kept::NotFound:
            return "not found";
        case Kept::Link:
            return "a link stands in its place or on the way to it";
        case Kept::NotAFile:
            return "something else than a regular file stands in its place";
        case Kept::NotEmpty:
            return "it holds more than the import put there";
        case Kept::CannotRestore:
            return "its text before the import cannot be put back exactly";
        case Kept::Failed:
            return "the system refused: " + Shown(s.by);
        case Kept::No:
            break;
    }
    return {};
}

int Remove(const std::vector<CString>& args) {
    CString file;
    bool apply = false;
    for (const CString& arg : args) {
        if (arg == u"--apply")
            apply = true;
        else if (file.empty() && !arg.starts_with(u"-"))
            file = arg;
        else
            return Usage("unexpected argument \"" + platform::ToUtf8(arg) + "\"");
    }
    if (file.empty()) return Usage("remove needs a RECEIPT");
    const CString path =
        platform::HostToWindowsPath(platform::ToUtf8(platform::CommandLinePath(file)));
    TextBuffer text;
    CString result;
    Receipt receipt;
    std::string problem;
    if (!CXmlDocument::ReadTextFile(path.c_str(), text, result)) {
        const uint32_t error = platform::GetLastError();
        problem = error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound
                      ? "no such receipt"
                      : platform::ToUtf8(result);
    } else {
        ParseReceipt(CString(text.view()), receipt, problem);
    }
    if (!problem.empty()) {
        Err("brevlo-catalog: " + platform::ToUtf8(file) + ": " + problem + "\n");
        return kIoError;
    }
    if (apply) platform::InstallStopSignals();
    const RemovalResult removal = RemovePack(path, receipt, apply, [] {
        Err("brevlo-catalog: another import of this product is running; waiting for it\n");
    });
    std::string out = std::string(apply ? "" : "dry run: nothing is changed\n") + "receipt  " +
                      platform::WindowsToHostPath(path.c_str()) + "\nproduct  " +
                      Shown(receipt.productFolder) + "\npack     " + Shown(receipt.packFolder) +
                      ", imported " + Shown(receipt.date) + "\n";
    size_t taken = 0, kept = 0;
    for (const RemovalStep& s : removal.steps) {
        if (s.kept != RemovalStep::Kept::No) continue;
        ++taken;
        const bool file = s.what == RemovalStep::What::File || s.what == RemovalStep::What::Catalog;
        out += s.restore ? "put back " + Subject(s) + " as it read: " + Shown(s.by)
                         : (file ? "delete   " : "remove   ") + Subject(s);
        out += "\n";
    }
    for (const RemovalStep& s : removal.steps) {
        if (s.kept == RemovalStep::Kept::No) continue;
        ++kept;
        out += "keep     " + Subject(s) + ": " + Why(s) + "\n";
    }
    if (!removal.failure.empty()) {
        Out(out);
        Err("brevlo-catalog: remove: " + removal.failure + "\n");
        return Finish(kIoError);
    }
    if (!apply) {
        out += std::to_string(taken) + " to take out, " + std::to_string(kept) +
               " to keep; add --apply to take the pack out\n";
    } else {
        out += "took out " + std::to_string(taken) + ", kept " + std::to_string(kept) + "; " +
               (removal.receipt == RemovalResult::Fate::Deleted
                    ? "the receipt was deleted\n"
                    : "the receipt now lists only what was kept, for a later remove\n");
    }
    Out(out);
    return Finish(removal.Complete() ? kDone : kFound);
}

int Check(const std::vector<CString>& args) {
    CString folder;
    uint32_t codePage = 936;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == u"--codepage") {
            if (i + 1 == args.size()) return Usage("--codepage needs a number");
            const std::string n = platform::ToUtf8(args[++i]);
            char* end = nullptr;
            const unsigned long value = std::strtoul(n.c_str(), &end, 10);
            TextBuffer probe;
            // 0 to 3 stand for the system's code pages on Windows, not for one of their own.
            if (n.empty() || *end || value < 4 || value > 65535 ||
                !platform::CodePageToWide(static_cast<uint32_t>(value), "a", 1, probe))
                return Usage("unknown code page \"" + n + "\"");
            codePage = static_cast<uint32_t>(value);
        } else if (folder.empty() && !args[i].starts_with(u"-")) {
            folder = args[i];
        } else {
            return Usage("unexpected argument \"" + platform::ToUtf8(args[i]) + "\"");
        }
    }
    if (folder.empty()) return Usage("check needs a PACK_FOLDER");
    while (folder.size() > 1 && (folder.back() == u'/' || folder.back() == u'\\'))
        folder.pop_back();
    const std::vector<PackFinding> findings =
        CheckPack(platform::CommandLinePath(folder), codePage);
    int errors = 0, warnings = 0;
    std::string text;
    for (const PackFinding& f : findings) {
        (f.error ? errors : warnings)++;
        text += FormatFinding(f) + "\n";
    }
    Out(text + platform::ToUtf8(folder) + ": " + Counted(static_cast<size_t>(errors), "error") +
        ", " + Counted(static_cast<size_t>(warnings), "warning") + "\n");
    return Finish(errors ? kFound : kDone);
}

}  // namespace

int ToolMain(const std::vector<CString>& args) {
    if (args.size() < 2)
        return Usage("a command is needed: check, index, merge, receipts or remove");
    const CString& command = args[1];
    if (command == u"--help" || command == u"-h") {
        Out(kHelp);
        return Finish(kDone);
    }
    if (command == u"--version") {
        Out("brevlo-catalog " BREVLO_VERSION "\n");
        return Finish(kDone);
    }
    std::vector<CString> rest(args.begin() + 2, args.end());
    if (command == u"check") return Check(rest);
    if (command == u"index") return Index(rest);
    if (command == u"merge") return Merge(rest);
    if (command == u"receipts") return Receipts(rest);
    if (command == u"remove") return Remove(rest);
    return Usage("unknown command \"" + platform::ToUtf8(command) + "\"");
}
