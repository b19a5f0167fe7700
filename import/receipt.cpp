#include "import/receipt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/ascii_fold.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

namespace {

// An attribute value in ASCII: markup characters as entities, anything else outside printable
// ASCII as a character reference.
void AppendValue(CString& out, const CString& value) {
    for (char16_t c : value) {
        switch (c) {
            case u'&':
                out += u"&amp;";
                continue;
            case u'<':
                out += u"&lt;";
                continue;
            case u'>':
                out += u"&gt;";
                continue;
            case u'"':
                out += u"&quot;";
                continue;
            default:
                break;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += c;
            continue;
        }
        char reference[16];
        std::snprintf(reference, sizeof reference, "&#x%x;", static_cast<unsigned>(c));
        for (const char* r = reference; *r; ++r) out += static_cast<char16_t>(*r);
    }
}

CString Ascii(const std::string& text) {
    return CString(text.begin(), text.end());
}

std::string Narrow(const CString& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

class Writer {
  public:
    void Open(const char16_t* name) {
        text_ += u"\t<";
        text_ += name;
    }
    void Attribute(const char16_t* name, const CString& value) {
        text_ += u' ';
        text_ += name;
        text_ += u"=\"";
        AppendValue(text_, value);
        text_ += u'"';
    }
    void Close() { text_ += u"/>\r\n"; }
    CString& Text() { return text_; }

  private:
    CString text_;
};

const char16_t* FormName(ParentForm form) {
    switch (form) {
        case ParentForm::NoContent:
            return u"no-content";
        case ParentForm::EmptyTag:
            return u"empty-tag";
        case ParentForm::Content:
            break;
    }
    return u"content";
}

const char16_t* KindName(Receipt::Kind kind) {
    switch (kind) {
        case Receipt::Kind::Item:
            return u"item";
        case Receipt::Kind::Count:
            return u"count";
        case Receipt::Kind::Album:
            break;
    }
    return u"album";
}

}  // namespace

CString ReceiptText(const Receipt& r) {
    Writer w;
    w.Text() = u"<?xml version=\"1.0\" encoding=\"us-ascii\"?>\r\n<receipt";
    w.Attribute(u"version", DecimalText(Receipt::kVersion));
    w.Attribute(u"date", r.date);
    w.Text() += u">\r\n";
    w.Open(u"product");
    w.Attribute(u"folder", r.productFolder);
    w.Close();
    w.Open(u"pack");
    w.Attribute(u"folder", r.packFolder);
    if (!r.packCatalogSha256.empty()) w.Attribute(u"catalog-sha256", Ascii(r.packCatalogSha256));
    w.Close();
    if (r.catalogCreated) {
        w.Open(u"catalog");
        w.Attribute(u"created", u"1");
        w.Close();
    }
    for (const CString& folder : r.folders) {
        w.Open(u"folder");
        w.Attribute(u"path", folder);
        w.Close();
    }
    for (const Receipt::File& file : r.files) {
        w.Open(u"file");
        w.Attribute(u"path", file.path);
        w.Attribute(u"size", Ascii(std::to_string(file.size)));
        w.Attribute(u"sha256", Ascii(file.sha256));
        w.Close();
    }
    for (const Receipt::Change& c : r.changes) {
        w.Open(u"change");
        w.Attribute(u"kind", KindName(c.kind));
        w.Attribute(u"album", c.album);
        if (c.kind == Receipt::Kind::Item) w.Attribute(u"item", c.item);
        if (c.kind != Receipt::Kind::Count || c.created) w.Attribute(u"parent", FormName(c.parent));
        if (c.kind == Receipt::Kind::Count && !c.created) w.Attribute(u"before", c.before);
        w.Attribute(u"text", c.text);
        w.Close();
    }
    for (const CString& file : r.foundFiles) {
        w.Open(u"found");
        w.Attribute(u"file", file);
        w.Close();
    }
    for (const Receipt::Found& found : r.foundItems) {
        w.Open(u"found");
        w.Attribute(u"album", found.album);
        if (!found.item.empty()) w.Attribute(u"item", found.item);
        w.Close();
    }
    w.Text() += u"</receipt>\r\n";
    return w.Text();
}

bool ParseReceipt(const CString& text, Receipt& r, std::string& problem) {
    r = Receipt{};
    CXmlDocument doc;
    if (!doc.SetDocumentText(text.c_str()) || !doc.FindElement(u"receipt")) {
        problem = "not a receipt";
        return false;
    }
    const CString version = doc.GetAttribute(u"version");
    if (version != DecimalText(Receipt::kVersion)) {
        problem = "a receipt of version " + Narrow(version) + ", which this build does not know";
        return false;
    }
    r.date = doc.GetAttribute(u"date");
    doc.EnterElement();
    auto each = [&doc](const char16_t* name, auto&& read) {
        doc.ResetPosition();
        while (doc.FindElement(name)) read();
    };
    each(u"product", [&] { r.productFolder = doc.GetAttribute(u"folder"); });
    each(u"pack", [&] {
        r.packFolder = doc.GetAttribute(u"folder");
        r.packCatalogSha256 = Narrow(doc.GetAttribute(u"catalog-sha256"));
    });
    each(u"catalog", [&] { r.catalogCreated = doc.GetAttribute(u"created") == u"1"; });
    each(u"folder", [&] { r.folders.push_back(doc.GetAttribute(u"path")); });
    each(u"file", [&] {
        Receipt::File file;
        file.path = doc.GetAttribute(u"path");
        file.size = std::strtoull(Narrow(doc.GetAttribute(u"size")).c_str(), nullptr, 10);
        file.sha256 = Narrow(doc.GetAttribute(u"sha256"));
        r.files.push_back(std::move(file));
    });
    each(u"change", [&] {
        Receipt::Change c;
        const CString kind = doc.GetAttribute(u"kind");
        c.kind = kind == u"item"    ? Receipt::Kind::Item
                 : kind == u"count" ? Receipt::Kind::Count
                                    : Receipt::Kind::Album;
        c.album = doc.GetAttribute(u"album");
        c.item = doc.GetAttribute(u"item");
        const CString parent = doc.GetAttribute(u"parent");
        c.parent = parent == u"empty-tag"    ? ParentForm::EmptyTag
                   : parent == u"no-content" ? ParentForm::NoContent
                                             : ParentForm::Content;
        c.created = c.kind == Receipt::Kind::Count && !parent.empty();
        c.before = doc.GetAttribute(u"before");
        c.text = doc.GetAttribute(u"text");
        r.changes.push_back(std::move(c));
    });
    each(u"found", [&] {
        const CString file = doc.GetAttribute(u"file");
        if (!file.empty())
            r.foundFiles.push_back(file);
        else
            r.foundItems.push_back({doc.GetAttribute(u"album"), doc.GetAttribute(u"item")});
    });
    return true;
}

std::string FileSha256(platform::File* file, uint64_t& size) {
    size = 0;
    platform::Sha256 digest;
    std::vector<char> buffer(1 << 16);
    size_t got = 0;
    bool read = true;
    while ((read = platform::Files().Read(file, buffer.data(), buffer.size(), got)) && got) {
        digest.Update(buffer.data(), got);
        size += got;
    }
    platform::Files().Close(file);
    return read ? digest.HexDigest() : std::string();
}

CString ReceiptsFolder() {
    const CString local = platform::LocalAppDataFolder();
    return local.empty() ? CString() : local + u"\\Brevlo\\Receipts";
}

CString ReceiptDate() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss<seconds> time(now - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return Ascii(text);
}

bool KeepReceipt(const Receipt& receipt, CString& folder, CString& message) {
    folder = ReceiptsFolder();
    if (folder.empty()) {
        folder = u"%LOCALAPPDATA%\\Brevlo\\Receipts";
        platform::SetLastError(platform::kErrorPathNotFound);
        message = platform::SystemErrorText();
        return false;
    }
    // One level at a time, by path, from the first below the drive; what exists stays.
    for (size_t at = folder.find(u'\\', 3); at != CString::npos; at = folder.find(u'\\', at + 1))
        platform::CreateFolder(folder.substr(0, at).c_str());
    platform::CreateFolder(folder.c_str());
    platform::Folder receipts;
    platform::TempFile temporary;
    CXmlDocument document;
    if (!receipts.Open(folder.c_str()) || !temporary.Create(receipts)) {
        message = platform::SystemErrorText();
        return false;
    }
    document.SetDocumentText(ReceiptText(receipt));
    if (!document.SaveFile(temporary)) {
        message = document.ResultText();
        return false;
    }
    if (!temporary.Close()) {
        message = platform::SystemErrorText();
        return false;
    }
    CString stem;
    for (char16_t c : receipt.date)
        if (c != u'-' && c != u':') stem += c;
    for (int n = 1; n <= 1000; ++n) {
        if (temporary.Keep(receipts, stem + u"-" + DecimalText(n) + u".xml", false)) {
            if (receipts.Sync(false)) return true;
            break;
        }
        if (platform::GetLastError() != platform::kErrorFileExists) break;
    }
    message = platform::SystemErrorText();
    return false;
}

std::vector<ReceiptFile> ListReceipts(std::vector<std::pair<CString, std::string>>* unreadable) {
    std::vector<ReceiptFile> out;
    const CString folder = ReceiptsFolder();
    platform::FileFind find;
    if (folder.empty() || !find.FindFile((folder + u"\\*.xml").c_str())) return out;
    for (bool more = true; more;) {
        more = find.FindNext();
        if (!find.IsFile()) continue;
        ReceiptFile file;
        file.path = folder + u"\\" + find.GetFileName();
        TextBuffer text;
        CString result;
        std::string problem;
        if (!CXmlDocument::ReadTextFile(file.path.c_str(), text, result)) {
            problem = platform::ToUtf8(result);
        } else if (ParseReceipt(CString(text.view()), file.receipt, problem)) {
            out.push_back(std::move(file));
            continue;
        }
        if (unreadable) unreadable->emplace_back(file.path, problem);
    }
    // The dates sort as text; the file name breaks a tie the same way every time.
    std::sort(out.begin(), out.end(), [](const ReceiptFile& a, const ReceiptFile& b) {
        return a.receipt.date != b.receipt.date ? a.receipt.date > b.receipt.date : a.path > b.path;
    });
    return out;
}

bool SameFolderPath(const CString& a, const CString& b) {
    auto normal = [](CString path) {
        for (char16_t& c : path) {
            if (c == u'/') c = u'\\';
            c = platform::FoldAscii(c);
        }
        while (path.size() > 3 && path.back() == u'\\') path.pop_back();
        return path;
    };
    return normal(a) == normal(b);
}
