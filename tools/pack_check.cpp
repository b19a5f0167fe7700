// The pack author's check. The catalog is read as the import reads it on a system whose code
// page is the one asked for, and judged with the import's own rules: its name comparison,
// its catalog form, what its copy skips. What Windows refuses is judged as Windows would.
#include "tools/pack_check.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "import/catalog_merge.h"
#include "import/copy_tree.h"
#include "import/import_texts.h"
#include "platform/ascii_fold.h"
#include "platform/file_name_fold.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

namespace {

constexpr int32_t kMaxInstalledPath = 259;
const char16_t kInstalledFolder[] = u"C:\\Program Files\\MirvoPix\\data\\";

std::string Utf8(std::u16string_view text) {
    return platform::ToUtf8(text);
}

// A name as printed: control characters escaped, so that a finding stays on its line.
std::string Shown(std::u16string_view name) {
    return Utf8(ShownName(name));
}

std::string Quoted(std::u16string_view text) {
    return "\"" + Shown(text) + "\"";
}

struct Position {
    int32_t line = 0;
    int32_t column = 0;
};

// Lines count line feeds; columns count characters, a surrogate pair as one.
Position PositionOf(std::u16string_view text, size_t offset) {
    Position p{1, 1};
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == u'\n') {
            ++p.line;
            p.column = 1;
        } else if (text[i] < 0xDC00 || text[i] > 0xDFFF) {
            ++p.column;
        }
    }
    return p;
}

// The first character that the code page has no byte for, or 0.
char32_t Unholdable(uint32_t codePage, std::u16string_view text) {
    std::string all;
    bool any = false;
    if (platform::WideToCodePage(codePage, text.data(), text.size(), all, any) && !any) return 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t n = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() ? 2 : 1;
        std::string bytes;
        bool usedDefault = false;
        if (platform::WideToCodePage(codePage, text.data() + i, n, bytes, usedDefault) &&
            !usedDefault)
            continue;
        if (n == 1) return text[i];
        return 0x10000 + ((char32_t(text[i]) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    }
    return 0;
}

std::string CodePointText(char32_t c) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
    return buffer;
}

// A name Windows refuses for a file or folder, or empty.
std::string RefusedName(std::u16string_view name) {
    for (char16_t c : name) {
        if (c < 32 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos)
            return "the character " + (c < 32 ? std::string() : Quoted(CString(1, c)) + " ") + "(" +
                   CodePointText(c) + ") is not allowed in Windows names";
    }
    if (name.back() == u'.' || name.back() == u' ')
        return "Windows drops a trailing dot or space from names";
    // Reserved device names, with or without an extension: the import refuses them too.
    if (IsReservedName(name)) {
        CString stem(name.substr(0, name.find(u'.')));
        while (!stem.empty() && stem.back() == u' ') stem.pop_back();
        return Quoted(stem) + " is a device name Windows reserves";
    }
    return {};
}

// The catalog is found as Windows finds "config.xml", without regard to case.
bool IsCatalog(const CString& path) {
    return platform::FoldFilePath(path) == u"config.xml";
}

class Checker {
  public:
    Checker(const CString& folder, uint32_t codePage) : folder_(folder), codePage_(codePage) {
        // The command word is the folder's own name, also when it is given as "dir/.".
        CString named = folder;
        while (named.size() > 2 && (named.ends_with(u"/.") || named.ends_with(u"\\.")))
            named.resize(named.size() - 2);
        const size_t slash = named.find_last_of(u"\\/");
        word_ = slash == CString::npos ? named : named.substr(slash + 1);
        cp_ = std::to_string(codePage);
    }

    std::vector<PackFinding> Run() {
        if (!platform::ListTree(folder_, entries_)) {
            Add(".", {}, true,
                "the pack folder cannot be read: " + Utf8(platform::SystemErrorText()));
            return Sorted();
        }
        CheckEntries();
        if (LoadCatalog()) CheckCatalog();
        return Sorted();
    }

  private:
    void Add(std::string file, Position at, bool error, std::string message) {
        findings_.push_back({std::move(file), at.line, at.column, error, std::move(message)});
    }
    void AddAt(size_t offset, bool error, std::string message) {
        Add("config.xml", At(offset), error, std::move(message));
    }

    // A place in the document, through the offsets of its lines, so that many findings in a
    // large catalog cost no more than one pass over it.
    Position At(size_t offset) {
        const std::u16string_view text = doc_.DocumentText().view();
        if (lineStarts_.empty()) {
            lineStarts_.push_back(0);
            for (size_t i = 0; i < text.size(); ++i)
                if (text[i] == u'\n') lineStarts_.push_back(i + 1);
        }
        const size_t line = static_cast<size_t>(
            std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset) - lineStarts_.begin());
        const size_t start = lineStarts_[line - 1];
        Position p = PositionOf(text.substr(start), offset - start);
        p.line = static_cast<int32_t>(line);
        return p;
    }

    // Catalog findings by place, then the files in path order.
    std::vector<PackFinding> Sorted() {
        std::stable_sort(findings_.begin(), findings_.end(), [](const auto& a, const auto& b) {
            const bool catalogA = a.file == "config.xml", catalogB = b.file == "config.xml";
            if (catalogA != catalogB) return catalogA;
            if (!catalogA) return a.file < b.file;
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        return std::move(findings_);
    }

    void CheckEntries() {
        const CString installed = kInstalledFolder + word_ + u"\\";
        CString tooLong;  // a folder already reported: what is inside is longer still
        for (const PackEntry& e : entries_) {
            const std::string path = Shown(e.path);
            const CString name = e.path.substr(e.path.rfind(u'/') + 1);
            const std::string refused = RefusedName(name);
            if (!refused.empty()) Add(path, {}, true, "a name Windows refuses: " + refused);
            if (const char32_t c = Unholdable(codePage_, name))
                Add(path, {}, true,
                    "the name holds " + CodePointText(c) + ", which code page " + cp_ +
                        " cannot hold");
            const int32_t length = static_cast<int32_t>(installed.size() + e.path.size());
            if (length > kMaxInstalledPath &&
                (tooLong.empty() || !e.path.starts_with(tooLong + u"/"))) {
                tooLong = e.path;
                Add(path, {}, true,
                    "path too long once installed: " + std::to_string(length) +
                        " characters below " + Shown(installed) + " (at most " +
                        std::to_string(kMaxInstalledPath) + ")");
            }
            if (e.kind == PackEntry::Link)
                Add(path, {}, false, "a link: the import skips it");
            else if (e.kind == PackEntry::Special)
                Add(path, {}, false, "not a regular file or folder: the import skips it");
            else if (e.kind == PackEntry::File && !IsCatalog(e.path))
                files_.emplace(platform::FoldFilePath(e.path), e.path);
        }
    }

    bool LoadCatalog() {
        const auto catalog = std::find_if(entries_.begin(), entries_.end(),
                                          [](const PackEntry& e) { return IsCatalog(e.path); });
        if (catalog == entries_.end()) {
            Add("config.xml", {}, true, "the pack has no catalog");
            return false;
        }
        // Read as the import reads it, on a system of the code page asked for.
        const CString path = folder_ + u"\\" + catalog->path;
        TextBuffer text;
        CString result;
        TextFileCheck read;
        read.codePage = codePage_;
        if (!CXmlDocument::ReadTextFile(path.c_str(), text, result, &read)) {
            Add("config.xml", {}, true, "cannot be read: " + Utf8(result));
            return false;
        }
        doc_.SetDocumentText(text.view());
        if (read.utf8) {
            // Up to its first byte that is not ASCII, the file reads alike in both.
            const std::u16string_view view = text.view();
            size_t first = 0;
            while (first < view.size() && view[first] < 0x80) ++first;
            AddAt(first, true,
                  "the catalog seems to be UTF-8 text; it must be text of code page " + cp_ +
                      ": the import refuses it");
        } else if (!read.exact) {
            Add("config.xml", InexactPlace(path), true,
                "bytes that code page " + cp_ +
                    " does not read back the same (is the file in another encoding?)");
        }
        if (!doc_.IsWellFormed()) {
            const ParseResult parse = doc_.LastParse();
            Add("config.xml",
                parse.offset >= 0 ? At(static_cast<size_t>(parse.offset)) : Position{}, true,
                "not well-formed: " + Utf8(doc_.ResultText()));
            return false;
        }
        if (!HasCatalogForm(doc_))
            Add("config.xml", {}, false,
                "not of the catalog form (a root \"mirvo\" with \"albums\"): the import merges "
                "the \"album\" elements one level higher, and refuses the pack for a product "
                "that has no catalog yet");
        return true;
    }

    // Where the first byte that the code page does not read back stands; no place when the
    // file cannot be read again. The load has found that one does.
    Position InexactPlace(const CString& path) {
        std::string bytes, message;
        if (!ReadAll(path, bytes, message)) return {};
        TextBuffer text;
        std::string back;
        bool usedDefault = false;
        if (!platform::CodePageToWide(codePage_, bytes.data(), bytes.size(), text) ||
            !platform::WideToCodePage(codePage_, text.c_str(), static_cast<size_t>(text.length()),
                                      back, usedDefault))
            return {};
        size_t i = 0;
        while (i < bytes.size() && i < back.size() && bytes[i] == back[i]) ++i;
        const size_t lineStart = bytes.rfind('\n', i == 0 ? 0 : i - 1);
        const size_t from = lineStart == std::string::npos || i == 0 ? 0 : lineStart + 1;
        TextBuffer before;
        platform::CodePageToWide(codePage_, bytes.data() + from, i - from, before);
        return {static_cast<int32_t>(std::count(bytes.begin(), bytes.begin() + i, '\n')) + 1,
                PositionOf(before.view(), before.view().size()).column};
    }

    // False with the system's message, taken before the cleanup can change the last error.
    static bool ReadAll(const CString& path, std::string& bytes, std::string& message) {
        platform::FileSystem& files = platform::Files();
        platform::File* file = files.OpenRead(path.c_str());
        if (!file) {
            message = Utf8(platform::SystemErrorText());
            return false;
        }
        int64_t size = 0;
        size_t done = 0;
        bool ok = files.Size(file, size);
        if (ok && (size < 0 || size >= INT32_MAX / 2)) {
            ok = false;
            platform::SetLastError(platform::kErrorNotEnoughMemory);
        }
        if (ok) {
            bytes.resize(static_cast<size_t>(size));
            ok = size == 0 || files.Read(file, bytes.data(), bytes.size(), done);
        }
        if (!ok) message = Utf8(platform::SystemErrorText());
        if (ok && done != bytes.size()) {
            ok = false;
            message =
                "short read: " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
        }
        files.Close(file);
        return ok;
    }

    size_t ValueOffset(const char16_t* attribute) const {
        const int32_t at = doc_.AttributeOffset(doc_.MainHandle(), attribute);
        return at >= 0 ? static_cast<size_t>(at) : ElementOffset(doc_.MainHandle());
    }

    size_t ElementOffset(ElementHandle h) const {
        return static_cast<size_t>(doc_.ElementOffset(h));
    }

    // Name, file and cover of the main element (an album or an item).
    CString CheckEntry(const char* what) {
        const CString name = doc_.GetAttribute(u"name");
        if (name.empty())
            AddAt(ElementOffset(doc_.MainHandle()), true, std::string(what) + " without a name");
        for (const char16_t* attribute : {u"name", u"file", u"cover"}) {
            const CString value = doc_.GetAttribute(attribute);
            if (const char32_t c = Unholdable(codePage_, value))
                AddAt(ValueOffset(attribute), true,
                      Quoted(attribute) + " holds " + CodePointText(c) + ", which code page " +
                          cp_ + " cannot hold");
            if (attribute[0] == u'n') continue;
            const int32_t at = doc_.AttributeOffset(doc_.MainHandle(), attribute);
            if (at < 0) continue;
            const CString folded = platform::FoldFilePath(value);
            named_.insert(folded);
            if (!files_.count(folded))
                AddAt(static_cast<size_t>(at), true,
                      Quoted(attribute) + " names no file of the pack: " + Quoted(value));
        }
        return name;
    }

    struct Named {
        CString name;
        size_t offset;
    };

    // Names the merge takes for one: every later one is reported against the first.
    void CheckFolding(std::vector<Named>& names, const char* what, const char* consequence) {
        std::stable_sort(names.begin(), names.end(), [](const Named& a, const Named& b) {
            return platform::CompareNoCase(a.name.c_str(), b.name.c_str()) < 0;
        });
        size_t first = 0;  // the first of the run of equal names, the earliest in the document
        for (size_t i = 1; i < names.size(); ++i) {
            if (platform::CompareNoCase(names[first].name.c_str(), names[i].name.c_str()) != 0) {
                first = i;
                continue;
            }
            const Position p = At(names[first].offset);
            AddAt(names[i].offset, false,
                  std::string(what) + " " + Quoted(names[i].name) + " has the name of " + what +
                      " " + Quoted(names[first].name) + " of line " + std::to_string(p.line) +
                      " as the import compares names: " + consequence);
        }
    }

    void CheckCatalog() {
        std::vector<Named> albums;
        doc_.FindElement(u"mirvo");
        doc_.EnterElement();
        doc_.FindElement(u"albums");
        doc_.EnterElement();
        while (doc_.FindElement(u"album")) {
            const size_t albumOffset = ElementOffset(doc_.MainHandle());
            const CString album = CheckEntry("album");
            if (!album.empty()) albums.push_back({album, albumOffset});
            doc_.EnterElement();
            std::vector<Named> items;
            int32_t count = 0;
            while (doc_.FindElement(u"item")) {
                ++count;
                const size_t offset = ElementOffset(doc_.MainHandle());
                const CString item = CheckEntry("item");
                if (!item.empty()) items.push_back({item, offset});
            }
            CheckFolding(items, "item", "the import keeps only the first");
            doc_.ResetPosition();
            if (doc_.FindElement(u"ElemCount")) {
                const CString content = ElementContent();
                if (content != platform::FromUtf8(std::to_string(count)))
                    AddAt(ElementOffset(doc_.MainHandle()), false,
                          "ElemCount is " + Quoted(content) + " but the album has " +
                              std::to_string(count) + " items: the import recounts");
            }
            doc_.LeaveElement();
        }
        CheckFolding(albums, "album", "the import merges their items");
        for (const auto& [folded, path] : files_)
            if (!named_.count(folded))
                Add(Shown(path), {}, false, "no item or cover names this file");
    }

    // The text between the main element's tags, without the whitespace around it.
    CString ElementContent() const {
        CString text = doc_.GetSubtreeText();
        const size_t last = text.find_last_not_of(u" \t\r\n");
        text.resize(last == CString::npos ? 0 : last + 1);
        const size_t open = text.find(u'>');
        const size_t close = text.rfind(u"</");
        if (open == CString::npos || close == CString::npos || close < open) return {};
        CString content = text.substr(open + 1, close - open - 1);
        const size_t first = content.find_first_not_of(u" \t\r\n");
        if (first == CString::npos) return {};
        return content.substr(first, content.find_last_not_of(u" \t\r\n") - first + 1);
    }

    CString folder_;
    CString word_;
    uint32_t codePage_;
    std::string cp_;
    std::vector<PackEntry> entries_;
    std::map<CString, CString> files_;  // folded path to path, of the files the import copies
    std::set<CString> named_;           // folded paths that a file or cover names
    CXmlDocument doc_;
    std::vector<PackFinding> findings_;
    std::vector<size_t> lineStarts_;
};

}  // namespace

std::vector<PackFinding> CheckPack(const CString& folder, uint32_t codePage) {
    return Checker(folder, codePage).Run();
}

std::string FormatFinding(const PackFinding& f) {
    std::string text = f.file;
    if (f.line) text += ":" + std::to_string(f.line) + ":" + std::to_string(f.column);
    text += f.error ? ": error: " : ": warning: ";
    return text + f.message;
}
