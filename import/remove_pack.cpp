#include "import/remove_pack.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "import/catalog_file.h"
#include "import/catalog_merge.h"
#include "import/import_texts.h"
#include "import/run_import.h"
#include "platform/ascii_fold.h"
#include "platform/file_name_fold.h"
#include "platform/platform.h"
#include "xml/XmlDocument.h"

bool RemovalResult::Complete() const {
    return failure.empty() && std::all_of(steps.begin(), steps.end(), [](const RemovalStep& s) {
               return s.kept == RemovalStep::Kept::No;
           });
}

namespace {

using What = RemovalStep::What;
using Kept = RemovalStep::Kept;

std::string Utf8(std::u16string_view text) {
    return platform::ToUtf8(ShownName(text));
}

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// An element's own text: a subtree text may end in the whitespace that follows the element.
CString Trimmed(CString text) {
    while (!text.empty() && IsSpace(text.back())) text.pop_back();
    return text;
}

CString OwnText(const CXmlDocument& doc, ElementHandle element) {
    return Trimmed(doc.GetElementSubtreeText(element));
}

// An element's "name" as the merge reads it (whatever the navigation stands on).
CString NameOf(const CXmlDocument& doc, ElementHandle element) {
    CString name;
    doc.GetStableAttribute(element, u"name", name);
    return name;
}

bool StampOfFile(const CString& path, platform::FileStamp& stamp) {
    platform::File* file = platform::Files().OpenRead(path.c_str());
    if (!file) return false;
    const bool ok = platform::StampOf(file, stamp);
    platform::Files().Close(file);
    return ok;
}

bool SameName(const CString& a, const CString& b) {
    return platform::CompareNoCase(a.c_str(), b.c_str()) == 0;
}

// The end of the start tag that begins `text` (past its ">"), quoted values skipped; 0 when
// there is none.
size_t StartTagEnd(std::u16string_view text) {
    char16_t quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (quote) {
            if (text[i] == quote) quote = 0;
        } else if (text[i] == u'"' || text[i] == u'\'') {
            quote = text[i];
        } else if (text[i] == u'>') {
            return i + 1;
        }
    }
    return 0;
}

// The content of an element's text that has a start and an end tag, with both tags; false
// for an empty-element tag.
bool SplitElement(const CString& text, CString& startTag, CString& content, CString& endTag) {
    const size_t open = StartTagEnd(text);
    const size_t close = text.rfind(u"</");
    if (open == 0 || text[open - 2] == u'/' || close == CString::npos || close < open) return false;
    startTag = text.substr(0, open);
    content = text.substr(open, close - open);
    endTag = text.substr(close);
    return true;
}

// The attribute values of the start tag at `at`, decoded.
std::vector<CString> AttributeValues(std::u16string_view text, size_t at) {
    std::vector<CString> values;
    size_t i = at + 1;
    while (i < text.size() && !IsSpace(text[i]) && text[i] != u'/' && text[i] != u'>') ++i;
    for (;;) {
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size() || text[i] == u'/' || text[i] == u'>') break;
        while (i < text.size() && text[i] != u'=' && !IsSpace(text[i]) && text[i] != u'>') ++i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size() || text[i] != u'=') break;
        ++i;
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size() || (text[i] != u'"' && text[i] != u'\'')) break;
        const char16_t quote = text[i++];
        const size_t end = text.find(quote, i);
        if (end == std::u16string_view::npos) break;
        values.push_back(CXmlDocument::DecodeText(text.data() + i, static_cast<int32_t>(end - i)));
        i = end + 1;
    }
    return values;
}

std::vector<CString> PathParts(std::u16string_view path) {
    std::vector<CString> parts;
    size_t from = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != u'\\' && path[i] != u'/') continue;
        if (i > from) parts.emplace_back(path.substr(from, i - from));
        from = i + 1;
    }
    return parts;
}

class Removal {
  public:
    Removal(const CString& receiptPath, const Receipt& receipt, bool apply,
            const std::function<void()>& waiting)
        : path_(receiptPath), r_(receipt), apply_(apply), waiting_(waiting) {
        dataPrefix_ = platform::FoldFilePath(r_.productFolder);
        while (!dataPrefix_.empty() && dataPrefix_.back() == u'/') dataPrefix_.pop_back();
        dataPrefix_ += u'/';
    }

    RemovalResult Run() {
        FindLaterReceipts();
        if (!data_.Open(r_.productFolder.c_str())) {
            const uint32_t error = platform::GetLastError();
            if (error != platform::kErrorFileNotFound && error != platform::kErrorPathNotFound)
                return Stop(error == platform::kErrorLinkRefused
                                ? "the product data folder " + Utf8(r_.productFolder) +
                                      " is a link the link rule does not let it follow"
                                : "the product data folder " + Utf8(r_.productFolder) +
                                      " cannot be opened: " + SystemText());
        }
        platform::ImportLock* lock = nullptr;
        if (apply_ && data_.IsOpen()) {
            lock = platform::AcquireImportLock(data_, waiting_);
            if (!lock)
                return Stop(platform::StopRequested()
                                ? "stopped while another import of the product held it up"
                                : "the product data folder " + Utf8(r_.productFolder) +
                                      " cannot be locked: " + SystemText());
        }
        struct Unlock {
            platform::ImportLock* lock;
            ~Unlock() { platform::ReleaseImportLock(lock); }
        } unlock{lock};
        if (apply_ && platform::StopRequested()) return Stop("stopped; nothing was changed");
        if (!Catalog()) return std::move(result_);
        if (apply_ && result_.changed && !RecordCatalog()) return std::move(result_);
        Files();
        Folders();
        if (catalogStep_) result_.steps.push_back(*catalogStep_);
        if (apply_) Settle();
        return std::move(result_);
    }

  private:
    struct Later {
        const Receipt* receipt;
        std::set<CString> files;  // folded paths
    };

    RemovalResult Stop(const std::string& why) {
        result_.failure = why;
        return std::move(result_);
    }
    // Why it stopped, for Run to return with what was done before.
    void Fail(const std::string& why) { result_.failure = why; }
    static std::string SystemText() { return platform::ToUtf8(platform::SystemErrorText()); }

    // The path below the data folder that a value names, folded as Windows compares file
    // names; empty when it names none there.
    CString Below(const CString& value) const {
        CString folded = platform::FoldFilePath(value);
        if (folded.starts_with(dataPrefix_))
            folded.erase(0, dataPrefix_.size());
        else if (folded.find(u':') != CString::npos || folded.starts_with(u"/"))
            return {};
        std::vector<CString> kept;
        for (CString& part : PathParts(folded)) {
            if (part == u".") continue;
            if (part != u"..") {
                kept.push_back(std::move(part));
            } else if (kept.empty()) {
                return {};
            } else {
                kept.pop_back();
            }
        }
        CString path;
        for (const CString& part : kept) path += (path.empty() ? u"" : u"/") + part;
        return path;
    }

    // Receipts of the same product written at the same time as this one or later: what they
    // found in place may be there because of this import.
    void FindLaterReceipts() {
        laterFiles_ = ListReceipts(nullptr);
        platform::FileStamp self, other;
        const bool known = StampOfFile(path_, self);
        for (const ReceiptFile& f : laterFiles_) {
            // This receipt, by whatever path it was named.
            if (SameFolderPath(f.path, path_) ||
                (known && StampOfFile(f.path, other) && other.volume == self.volume &&
                 other.index == self.index) ||
                !SameFolderPath(f.receipt.productFolder, r_.productFolder) ||
                f.receipt.date < r_.date)
                continue;
            Later later{&f.receipt, {}};
            for (const CString& file : f.receipt.foundFiles) later.files.insert(Below(file));
            later_.push_back(std::move(later));
        }
    }

    const Receipt* ReliedOn(const CString& album, const CString* item) const {
        for (const Later& l : later_)
            for (const Receipt::Found& f : l.receipt->foundItems)
                if (SameName(f.album, album) &&
                    (!item || (!f.item.empty() && SameName(f.item, *item))))
                    return l.receipt;
        return nullptr;
    }

    // ---- the catalog ----

    struct Edit {
        size_t source;  // the change's index in the receipt
        ElementHandle element;
        bool restore;     // a count put back
        uint32_t flags;   // of the removal
        CString content;  // of a count put back
        CString before;   // what a count put back must read
    };

    static uint32_t RestoreFlags(ParentForm form) {
        switch (form) {
            case ParentForm::EmptyTag:
                return EditRestoreEmptyTag;
            case ParentForm::NoContent:
                return EditRestoreNoContent;
            case ParentForm::Content:
                break;
        }
        return 0;
    }

    std::vector<ElementHandle> Children(const CXmlDocument& doc, ElementHandle parent,
                                        const char16_t* name) const {
        std::vector<ElementHandle> out;
        for (ElementHandle h = doc.FirstChild(parent); h; h = doc.NextSibling(h))
            if (doc.IsNamed(h, name)) out.push_back(h);
        return out;
    }

    std::vector<ElementHandle> Albums(const CXmlDocument& doc, const CString& name) const {
        std::vector<ElementHandle> out;
        for (ElementHandle h : Children(doc, albums_, u"album"))
            if (SameName(NameOf(doc, h), name)) out.push_back(h);
        return out;
    }

    // Whether the element stands where the import left it, as no element of the product's
    // stands in a catalog written with indentation: directly followed by the line break the
    // append put after it and the next tag; a created count right before its album's end tag;
    // a rewritten count as its album's first.
    bool StandsAsLeft(const CXmlDocument& doc, ElementHandle h, const Receipt::Change& c,
                      const CString& text) const {
        if (c.kind == Receipt::Kind::Count && !c.created) {
            for (ElementHandle e = doc.FirstChild(ParentOf(h)); e; e = doc.NextSibling(e))
                if (doc.IsNamed(e, u"ElemCount")) return e == h;
            return false;
        }
        const std::u16string_view after = doc.DocumentText().view().substr(
            static_cast<size_t>(doc.ElementOffset(h)) + text.size());
        return after.starts_with(c.kind == Receipt::Kind::Count ? u"\r\n</" : u"\r\n<");
    }

    // The album, or the albums, an element stands in (the candidates are found from there).
    ElementHandle ParentOf(ElementHandle h) const {
        const auto it = parents_.find(h);
        return it == parents_.end() ? albums_ : it->second;
    }

    // Of the candidates not taken yet, the first whose own text is `text` and that stands as
    // the import left it; 0 when there is none, with `step` saying why.
    ElementHandle Pick(const CXmlDocument& doc, const std::vector<ElementHandle>& candidates,
                       const Receipt::Change& c, const CString& text, RemovalStep& step) {
        if (candidates.empty()) {
            step.kept = Kept::NotFound;
            return 0;
        }
        for (ElementHandle h : candidates)
            if (!taken_.count(h) && OwnText(doc, h) == text && StandsAsLeft(doc, h, c, text))
                return h;
        step.kept = Kept::Changed;
        return 0;
    }

    // The items of that name in the first album of the change's name (where the merge put
    // them), or the counts in every album of the name, in document order.
    std::vector<ElementHandle> Candidates(const CXmlDocument& doc, const Receipt::Change& c) {
        const bool item = c.kind == Receipt::Kind::Item;
        const std::vector<ElementHandle> albums = Albums(doc, c.album);
        std::vector<ElementHandle> out;
        for (size_t i = 0; i < albums.size() && (i == 0 || !item); ++i) {
            const ElementHandle a = albums[i];
            for (ElementHandle h = doc.FirstChild(a); h; h = doc.NextSibling(h))
                if (doc.IsNamed(h, item ? u"item" : u"ElemCount") &&
                    (!item || SameName(NameOf(doc, h), c.item))) {
                    out.push_back(h);
                    parents_[h] = a;
                }
        }
        return out;
    }

    // The recount went through the albums in document order: the counts of one album name
    // are matched in the receipt's order to those that read as it left them, each after the
    // one before. Two albums of one name whose counts read alike cannot be told apart
    // otherwise.
    std::map<size_t, ElementHandle> AssignCounts(const CXmlDocument& doc) {
        std::map<size_t, ElementHandle> out;
        std::map<CString, size_t> next;  // by folded album name: where the next match may be
        for (size_t i = 0; albums_ && i < r_.changes.size(); ++i) {
            const Receipt::Change& c = r_.changes[i];
            if (c.kind != Receipt::Kind::Count) continue;
            CString folded = c.album;
            for (char16_t& ch : folded) ch = platform::FoldAscii(ch);
            const std::vector<ElementHandle> candidates = Candidates(doc, c);
            const CString text = Trimmed(c.text);
            for (size_t k = next[folded]; k < candidates.size(); ++k) {
                if (OwnText(doc, candidates[k]) != text ||
                    !StandsAsLeft(doc, candidates[k], c, text))
                    continue;
                out[i] = candidates[k];
                next[folded] = k + 1;
                break;
            }
        }
        return out;
    }

    // Decides what to undo in the catalog as loaded, and makes those edits in one batch.
    bool PlanCatalog(CXmlDocument& doc, std::vector<RemovalStep>& steps) {
        taken_.clear();
        parents_.clear();
        std::vector<Edit> edits;
        std::vector<bool> albumTaken(r_.changes.size());
        // Items and counts of an album this import added go with the album.
        auto covered = [&](const CString& album) {
            for (size_t i = 0; i < r_.changes.size(); ++i)
                if (albumTaken[i] && SameName(r_.changes[i].album, album)) return true;
            return false;
        };
        const std::map<size_t, ElementHandle> counts = AssignCounts(doc);
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = r_.changes.size(); i-- > 0;) {
                const Receipt::Change& c = r_.changes[i];
                const bool album = c.kind == Receipt::Kind::Album;
                if ((pass == 0) != album) continue;
                if (!album && covered(c.album)) continue;
                RemovalStep step;
                step.what = album                           ? What::Album
                            : c.kind == Receipt::Kind::Item ? What::Item
                                                            : What::Count;
                step.name = album ? c.album : c.item;
                step.album = album ? CString() : c.album;
                step.restore = c.kind == Receipt::Kind::Count && !c.created;
                if (step.restore) step.by = Trimmed(c.before);
                step.source = i;
                const CString text = Trimmed(c.text);
                ElementHandle found = 0;
                const Receipt* relied = nullptr;
                if (!albums_) {
                    step.kept = Kept::NotFound;
                } else if (album) {
                    const std::vector<ElementHandle> candidates = Albums(doc, c.album);
                    relied = candidates.empty() ? nullptr : ReliedOn(c.album, nullptr);
                    if (!relied) found = Pick(doc, candidates, c, text, step);
                } else {
                    const std::vector<ElementHandle> candidates = Candidates(doc, c);
                    if (c.kind == Receipt::Kind::Item) {
                        relied = candidates.empty() ? nullptr : ReliedOn(c.album, &c.item);
                        if (!relied) found = Pick(doc, candidates, c, text, step);
                    } else if (candidates.empty()) {
                        step.kept = Kept::NotFound;
                    } else if (const auto it = counts.find(i); it != counts.end()) {
                        found = it->second;
                    } else {
                        step.kept = Kept::Changed;
                    }
                }
                if (relied) {
                    step.kept = Kept::ReliedOn;
                    step.by = relied->packFolder;
                    step.when = relied->date;
                }
                Edit edit{i, found, step.restore, RestoreFlags(c.parent), {}, Trimmed(c.before)};
                if (found && step.restore) {
                    CString startTag, endTag, beforeStart, beforeEnd, ignored;
                    if (!SplitElement(text, startTag, ignored, endTag) ||
                        !SplitElement(edit.before, beforeStart, edit.content, beforeEnd) ||
                        beforeStart != startTag || beforeEnd != endTag ||
                        CXmlDocument::EscapeText(edit.content.c_str(), EditKeepReferences) !=
                            edit.content) {
                        step.kept = Kept::CannotRestore;
                        found = 0;
                    }
                }
                if (found) {
                    taken_.insert(found);
                    if (album) albumTaken[i] = true;
                    edits.push_back(edit);
                }
                steps.push_back(step);
            }
        }
        // Undone in the receipt's reverse order: albums were decided first only so that
        // what they hold is known to go with them.
        std::stable_sort(
            steps.begin(), steps.end(),
            [](const RemovalStep& a, const RemovalStep& b) { return a.source > b.source; });
        if (edits.empty()) return true;
        std::stable_sort(edits.begin(), edits.end(),
                         [](const Edit& a, const Edit& b) { return a.source > b.source; });
        {
            // All or nothing: a refused edit drops the batch, and the document is as read.
            CXmlEditBatch batch(doc);
            for (const Edit& edit : edits) {
                const bool ok = edit.restore ? batch.SetContent(edit.element, edit.content.c_str(),
                                                                EditKeepReferences)
                                             : batch.RemoveElement(edit.element, edit.flags);
                if (!ok) return false;
            }
            if (!batch.Apply()) return false;
        }
        changed_ = true;
        if (!IndexMatchesText(doc)) return false;
        for (const Edit& edit : edits)
            if (edit.restore && OwnText(doc, edit.element) != edit.before) return false;
        return true;
    }

    // Loads the catalog, undoes what can be undone and saves it (or deletes a created one);
    // false when it stopped.
    bool Catalog() {
        CXmlDocument doc;
        CatalogFile file{u"config.xml", {}, {}, {}};
        platform::Staging staging(data_);
        for (int round = 1;; ++round) {
            std::vector<RemovalStep> steps;
            CatalogState state = CatalogState::Missing;
            albums_ = 0;
            changed_ = false;
            if (data_.IsOpen()) {
                CatalogProblem problem;
                state = ReadCatalog(doc, data_, file, problem);
                if (state == CatalogState::Unusable) {
                    Fail(CatalogProblemText(problem));
                    return false;
                }
            }
            if (state == CatalogState::Loaded) {
                if (!HasCatalogForm(doc)) {
                    Fail("the catalog " + CatalogName() +
                         " is not of the catalog form (a root \"mirvo\" with \"albums\")");
                    return false;
                }
                albums_ = doc.FindNamedElement(doc.FindNamedElement(0, 0, u"mirvo"), 0, u"albums");
            }
            if (!PlanCatalog(doc, steps)) {
                Fail("the catalog " + CatalogName() +
                     " could not be edited as planned; nothing was changed");
                return false;
            }
            // A catalog the import made goes when it reads again as the pack's did.
            bool deleteCatalog = false;
            catalogStep_.reset();
            if (r_.catalogCreated) {
                RemovalStep step;
                step.what = What::Catalog;
                step.name = u"config.xml";
                if (state != CatalogState::Loaded) {
                    step.kept = Kept::NotFound;
                } else if (data_.Kind(u"config.xml") != platform::EntryKind::File) {
                    step.kept = Kept::Link;
                } else if (CatalogDigest(doc) != r_.packCatalogSha256 ||
                           r_.packCatalogSha256.empty()) {
                    step.kept = Kept::Changed;
                } else {
                    deleteCatalog = true;
                }
                catalogStep_ = step;
            }
            if (!apply_ || (!changed_ && !deleteCatalog)) {
                Accept(doc, steps, deleteCatalog);
                return true;
            }
            if (deleteCatalog) {
                platform::FileStamp now;
                if (file.folder.Stamp(file.name, now) && now == file.stamp) {
                    if (!file.folder.Remove(file.name, false)) {
                        Fail("the catalog " + CatalogName() +
                             " could not be deleted: " + SystemText());
                        return false;
                    }
                    result_.changed = true;
                    Accept(doc, steps, true);
                    return true;
                }
            } else {
                // The import's checks before the catalog is replaced.
                CString entry;
                if (!file.folder.MayReplace(file.name)) {
                    Fail("the catalog " + CatalogName() + " cannot be replaced: " + SystemText());
                    return false;
                }
                if (!staging.Inspect(data_, entry) || (file.folder.Volume() != data_.Volume() &&
                                                       !staging.Inspect(file.folder, entry))) {
                    Fail(Utf8(entry) + " is in the way: it is not the import's own");
                    return false;
                }
                CString message;
                switch (SaveCatalog(doc, file, staging, message)) {
                    case CatalogSave::Saved:
                        result_.changed = true;
                        Accept(doc, steps, false);
                        return true;
                    case CatalogSave::Failed:
                        Fail("the catalog " + CatalogName() +
                             " could not be saved: " + platform::ToUtf8(message));
                        return false;
                    case CatalogSave::Changed:
                        break;
                }
            }
            if (round == kRounds) {
                Fail("the catalog " + CatalogName() + " changed while it was being edited, " +
                     std::to_string(kRounds) +
                     " times: nothing was taken out; run remove again when nothing else "
                     "writes it");
                return false;
            }
        }
    }

    static constexpr int kRounds = 3;

    std::string CatalogName() const { return Utf8(r_.productFolder + u"\\config.xml"); }

    std::string CatalogProblemText(const CatalogProblem& p) const {
        const std::string name = "the catalog " + CatalogName();
        switch (p.kind) {
            case CatalogProblem::LinkRefused:
                return name + " is a link the link rule does not let it follow";
            case CatalogProblem::NotAFile:
                return name + " is not a regular file";
            case CatalogProblem::Dangling:
                return name + " is a link to nothing (" + Utf8(p.message) + ")";
            case CatalogProblem::Encoding:
                return name + " is UTF-8 text, not text of code page " +
                       std::to_string(platform::AnsiCodePage());
            case CatalogProblem::CodePage:
                return name + " is not text of code page " +
                       std::to_string(platform::AnsiCodePage());
            case CatalogProblem::Syntax:
                return name + " is not well-formed XML: " + platform::ToUtf8(p.message);
            case CatalogProblem::Read:
            case CatalogProblem::None:
                break;
        }
        return name + " cannot be read: " + platform::ToUtf8(p.message);
    }

    static std::string CatalogDigest(const CXmlDocument& doc) {
        std::string bytes;
        bool usedDefault = false;
        const TextBuffer& text = doc.DocumentText();
        if (!platform::WideToAnsi(text.c_str(), static_cast<size_t>(text.length()), bytes,
                                  usedDefault) ||
            usedDefault)
            return {};
        platform::Sha256 hash;
        hash.Update(bytes.data(), bytes.size());
        return hash.HexDigest();
    }

    // The catalog as it stays: its steps stand, and what its albums and items name.
    void Accept(const CXmlDocument& doc, std::vector<RemovalStep>& steps, bool deleted) {
        for (RemovalStep& s : steps) result_.steps.push_back(std::move(s));
        if (deleted || !albums_) return;
        // Every album and item anywhere in the catalog, whatever stands around it.
        std::vector<std::pair<ElementHandle, CString>> stack{{0, CString()}};
        while (!stack.empty()) {
            const auto [parent, album] = stack.back();
            stack.pop_back();
            for (ElementHandle h = doc.FirstChild(parent); h; h = doc.NextSibling(h)) {
                CString inAlbum = album;
                CString who;
                if (doc.IsNamed(h, u"album")) {
                    inAlbum = NameOf(doc, h);
                    who = u"album \"" + inAlbum + u"\"";
                } else if (doc.IsNamed(h, u"item")) {
                    who = u"item \"" + NameOf(doc, h) + u"\" of album \"" + album + u"\"";
                }
                if (!who.empty())
                    for (const CString& value : AttributeValues(
                             doc.DocumentText().view(), static_cast<size_t>(doc.ElementOffset(h))))
                        if (CString path = Below(value); !path.empty()) named_.emplace(path, who);
                stack.push_back({h, inAlbum});
            }
        }
    }

    // ---- files and folders ----

    // Opens the folders on the way to the last part of `path`, into `parent`; false with the
    // step's reason when one is missing or is a link the link rule refuses.
    bool OpenParent(const std::vector<CString>& parts, platform::Folder& parent,
                    RemovalStep& step) const {
        if (!data_.IsOpen() || parts.empty() || !data_.Duplicate(parent)) {
            step.kept = Kept::NotFound;
            return false;
        }
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            platform::Folder next;
            if (!parent.OpenFolder(parts[i], next, true)) {
                step.kept = Reason(platform::GetLastError(), step);
                return false;
            }
            parent = std::move(next);
        }
        return true;
    }

    static Kept Reason(uint32_t error, RemovalStep& step) {
        switch (error) {
            case platform::kErrorFileNotFound:
            case platform::kErrorPathNotFound:
                return Kept::NotFound;
            case platform::kErrorLinkRefused:
                return Kept::Link;
            case platform::kErrorNotAFile:
                return Kept::NotAFile;
            default:
                step.by = platform::SystemErrorText();
                return Kept::Failed;
        }
    }

    // Whether the regular file has the recorded size and digest.
    static bool Matches(platform::File* file, const Receipt::File& recorded) {
        uint64_t size = 0;
        const std::string digest = FileSha256(file, size);
        return !digest.empty() && size == recorded.size && digest == recorded.sha256;
    }

    void Files() {
        for (size_t i = 0; i < r_.files.size(); ++i) {
            const Receipt::File& f = r_.files[i];
            RemovalStep step{What::File, false, f.path, {}, Kept::No, {}, {}, i};
            const CString key = Below(f.path);
            // A created catalog is the catalog's step.
            if (r_.catalogCreated && key == u"config.xml") continue;
            const std::vector<CString> parts = PathParts(f.path);
            platform::Folder parent;
            if (const Receipt* later = ReliedOnFile(key)) {
                step.kept = Kept::ReliedOn;
                step.by = later->packFolder;
                step.when = later->date;
            } else if (auto named = named_.find(key); named != named_.end()) {
                step.kept = Kept::Named;
                step.by = named->second;
            } else if (OpenParent(parts, parent, step)) {
                const CString& name = parts.back();
                switch (parent.Kind(name)) {
                    case platform::EntryKind::Missing:
                        step.kept = Kept::NotFound;
                        break;
                    case platform::EntryKind::Link:
                        step.kept = Kept::Link;
                        break;
                    case platform::EntryKind::File:
                        if (platform::File* file = parent.OpenFile(name, false)) {
                            if (!Matches(file, f)) step.kept = Kept::Changed;
                        } else {
                            step.kept = Reason(platform::GetLastError(), step);
                        }
                        break;
                    default:
                        step.kept = Kept::NotAFile;
                        break;
                }
                if (step.kept == Kept::No && apply_) {
                    if (parent.Remove(name, false))
                        result_.changed = true;
                    else
                        step.kept = Reason(platform::GetLastError(), step);
                }
            }
            if (step.kept == Kept::No) gone_.insert(key);
            result_.steps.push_back(step);
        }
    }

    const Receipt* ReliedOnFile(const CString& key) const {
        for (const Later& l : later_)
            if (l.files.count(key)) return l.receipt;
        return nullptr;
    }

    void Folders() {
        for (size_t i = r_.folders.size(); i-- > 0;) {
            RemovalStep step{What::Folder, false, r_.folders[i], {}, Kept::No, {}, {}, i};
            const std::vector<CString> parts = PathParts(r_.folders[i]);
            const CString key = Below(r_.folders[i]);
            platform::Folder parent;
            if (OpenParent(parts, parent, step)) {
                platform::Folder folder;
                std::vector<platform::FolderEntry> entries;
                const platform::EntryKind kind = parent.Kind(parts.back());
                if (kind == platform::EntryKind::Missing) {
                    step.kept = Kept::NotFound;
                } else if (kind == platform::EntryKind::Link) {
                    step.kept = Kept::Link;
                } else if (kind != platform::EntryKind::Folder) {
                    step.kept = Kept::NotAFile;
                } else if (!parent.OpenFolder(parts.back(), folder, false) ||
                           !folder.List(entries)) {
                    step.kept = Reason(platform::GetLastError(), step);
                } else {
                    for (const platform::FolderEntry& e : entries)
                        if (!gone_.count(key + u"/" + platform::FoldFilePath(e.name)))
                            step.kept = Kept::NotEmpty;
                }
                // Windows removes no folder that is held open.
                folder = platform::Folder();
                if (step.kept == Kept::No && apply_) {
                    if (parent.Remove(parts.back(), true))
                        result_.changed = true;
                    else
                        step.kept = Reason(platform::GetLastError(), step);
                }
            }
            if (step.kept == Kept::No) gone_.insert(key);
            result_.steps.push_back(step);
        }
    }

    // ---- the receipt ----

    // Rewrites the receipt without the catalog changes just undone, before any file goes: a
    // removal run again from the old receipt could take counts it put back for ones the
    // import wrote.
    bool RecordCatalog() {
        Receipt rest = r_;
        rest.changes.clear();
        for (const RemovalStep& s : result_.steps)
            if (s.kept != Kept::No && s.what != What::File && s.what != What::Folder)
                rest.changes.push_back(r_.changes[s.source]);
        rest.catalogCreated = r_.catalogCreated && catalogStep_ && catalogStep_->kept != Kept::No;
        return Write(rest);
    }

    // Deletes the receipt, or rewrites it with what was kept and is still there.
    void Settle() {
        Receipt kept = r_;
        kept.catalogCreated = false;
        kept.folders.clear();
        kept.files.clear();
        kept.changes.clear();
        std::vector<size_t> folders, files, changes;
        for (const RemovalStep& s : result_.steps) {
            if (s.kept == Kept::No || s.kept == Kept::NotFound) continue;
            switch (s.what) {
                case What::Catalog:
                    kept.catalogCreated = true;
                    break;
                case What::Folder:
                    folders.push_back(s.source);
                    break;
                case What::File:
                    files.push_back(s.source);
                    break;
                default:
                    changes.push_back(s.source);
                    break;
            }
        }
        // In the receipt's own order.
        for (auto* list : {&folders, &files, &changes}) std::sort(list->begin(), list->end());
        for (size_t i : folders) kept.folders.push_back(r_.folders[i]);
        for (size_t i : files) kept.files.push_back(r_.files[i]);
        for (size_t i : changes) kept.changes.push_back(r_.changes[i]);
        if (Write(kept))
            result_.receipt =
                kept.Empty() ? RemovalResult::Fate::Deleted : RemovalResult::Fate::Rewritten;
    }

    // The receipt replaced by `rest` (temporary file, forced to the disk, renamed), or deleted
    // when nothing is left in it.
    bool Write(const Receipt& rest) {
        const size_t cut = path_.find_last_of(u"\\/");
        platform::Folder folder;
        const CString name = cut == CString::npos ? path_ : path_.substr(cut + 1);
        if (!folder.Open(cut == CString::npos ? u"." : path_.substr(0, cut).c_str())) {
            result_.failure = "the receipt's folder cannot be opened: " + SystemText();
            return false;
        }
        if (rest.Empty()) {
            // Gone already: a second removal by a record read before the first.
            if (folder.Remove(name, false) ||
                platform::GetLastError() == platform::kErrorFileNotFound)
                return true;
            result_.failure = "the receipt could not be deleted: " + SystemText();
            return false;
        }
        CXmlDocument doc;
        platform::TempFile temporary;
        doc.SetDocumentText(ReceiptText(rest));
        if (temporary.Create(folder) && doc.SaveFile(temporary) && temporary.Close() &&
            temporary.Keep(folder, name, true))
            return true;
        result_.failure = "the receipt could not be rewritten: " + SystemText();
        return false;
    }

    const CString path_;
    const Receipt& r_;
    const bool apply_;
    const std::function<void()>& waiting_;
    CString dataPrefix_;  // the data folder, folded, with a "/" after it
    std::vector<ReceiptFile> laterFiles_;
    std::vector<Later> later_;
    platform::Folder data_;
    ElementHandle albums_ = 0;
    bool changed_ = false;  // the catalog was edited in memory
    std::set<ElementHandle> taken_;
    std::map<ElementHandle, ElementHandle> parents_;  // of the items and counts looked at
    std::optional<RemovalStep> catalogStep_;
    std::map<CString, CString> named_;  // folded paths the catalog names, and by what
    std::set<CString> gone_;            // folded paths taken out (or to be)
    RemovalResult result_;
};

}  // namespace

RemovalResult RemovePack(const CString& receiptPath, const Receipt& receipt, bool apply,
                         const std::function<void()>& waiting) {
    return Removal(receiptPath, receipt, apply, waiting).Run();
}
