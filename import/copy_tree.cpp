// Recursive copy of the material folder, depth first, never replacing an existing file when
// overwrite is 0. Iterative, so a deep pack cannot exhaust the stack. The pack and the
// destination are walked twice: once to look (nothing changes), once to copy through the
// staging, so each destination is absent or whole whatever happens.
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "import/copy_tree.h"
#include "platform/ascii_fold.h"

namespace {

using platform::EntryKind;
using platform::Folder;
using platform::FolderEntry;

bool SameNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (platform::FoldAscii(a[i]) != platform::FoldAscii(b[i])) return false;
    return true;
}

struct Level {
    Folder source;
    FolderId id;         // the source's identity; {0, 0} when the system gives none
    Folder destination;  // not open while the folder is still to be made (the look)
    CString destinationPath;
    std::vector<FolderEntry> entries;
    size_t next = 0;
};

enum class Pass { Look, Copy };

// The walk both passes share. The look fills `refusal`; the copy stages into `staging`.
class Walk {
  public:
    Walk(Pass pass, const platform::Staging* look, platform::Staging* copy, int overwrite,
         const CString& writableName, CopyRefusal* refusal, CopyFailure* failure,
         PackListings* listings, Receipt* receipt = nullptr)
        : receipt_(receipt),
          listings_(listings),
          pass_(pass),
          look_(look),
          copy_(copy),
          overwrite_(overwrite),
          writableName_(writableName),
          refusal_(refusal),
          failure_(failure) {}

    bool Run(const Folder& source, const Folder& destination) {
        auto root = std::make_unique<Level>();
        if (!source.Duplicate(root->source) || !destination.Duplicate(root->destination))
            return Refuse(destination.Path());
        root->destinationPath = destination.Path();
        rootPath_ = destination.Path();
        if (pass_ == Pass::Look) {
            volumes_.insert(destination.Volume());
            CString entry;
            if (!look_->Inspect(destination, entry))
                return Refuse(CopyRefusal::Leftover, destination.Path() + u"\\" + entry);
        }
        Enter(*root);
        if (!List(*root)) return Refuse(source.Path());
        levels_.push_back(std::move(root));
        while (!levels_.empty()) {
            if (pass_ == Pass::Copy && platform::StopRequested()) return false;
            Level& level = *levels_.back();
            if (level.next == level.entries.size()) {
                if (pass_ == Pass::Look && listings_ && level.id.second)
                    listings_->folders[level.id] = std::move(level.entries);
                levels_.pop_back();
                continue;
            }
            const FolderEntry& entry = level.entries[level.next++];
            // A pack's own staging folder would be taken for the destination's.
            if (entry.name == platform::kStagingFolderName) continue;
            if (!Step(level, entry)) return false;
        }
        if (pass_ == Pass::Look) {
            // Every name and folder of the kind is said at once.
            if (!lost_.empty() || !reserved_.empty()) {
                refusal_->kind =
                    lost_.empty() ? CopyRefusal::ReservedNames : CopyRefusal::LostNames;
                refusal_->paths = lost_.empty() ? std::move(reserved_) : std::move(lost_);
                return false;
            }
            return true;
        }
        Commit();
        return complete_;
    }

  private:
    bool List(Level& level) {
        // The copy goes by what the look listed and checked.
        if (pass_ == Pass::Copy && listings_ && level.id.second) {
            const auto it = listings_->folders.find(level.id);
            if (it != listings_->folders.end()) {
                level.entries = std::move(it->second);
                listings_->folders.erase(it);
                return true;
            }
        }
        size_t unreachable = 0;
        if (!level.source.List(level.entries, &unreachable)) return false;
        if (pass_ == Pass::Look) {
            for (const FolderEntry& e : level.entries) {
                if (!platform::NameLost(e.name)) continue;
                lost_.push_back(level.source.Path());
                break;
            }
        }
        return true;
    }

    // False the second time a folder of one identity is met (a loop, or a folder reached
    // twice); identities the system does not give are no help and let it pass.
    bool Enter(Level& level) {
        platform::FileStamp stamp;
        if (!level.source.Stamp(CString(), stamp) || stamp.index == 0) return true;
        level.id = {stamp.volume, stamp.index};
        return entered_.insert(level.id).second;
    }

    bool Step(Level& level, const FolderEntry& entry) {
        const CString from = level.source.Path() + u"\\" + entry.name;
        const CString to = level.destinationPath + u"\\" + entry.name;
        if (pass_ == Pass::Look && IsReservedName(entry.name) &&
            (entry.kind == EntryKind::File || entry.kind == EntryKind::Folder)) {
            reserved_.push_back(from);
            return true;
        }
        if (platform::NameLost(entry.name)) return true;  // refused by the look already
        // A link could loop or pull files from outside the pack into the product; a pipe or
        // device is no material and could block the copy for ever.
        if (entry.kind == EntryKind::File) return CopyFile(level, entry.name, to);
        if (entry.kind != EntryKind::Folder) return true;
        auto next = std::make_unique<Level>();
        if (!level.source.OpenFolder(entry.name, next->source, false)) {
            // A link the listing did not show as one (Wine shows some as folders).
            if (platform::GetLastError() == platform::kErrorLinkRefused) return true;
            return pass_ == Pass::Look ? Refuse(from) : Fail(from);
        }
        if (!Enter(*next)) return true;
        next->destinationPath = to;
        if (!Destination(level, entry.name, *next)) return pass_ == Pass::Copy;
        if (!List(*next)) return pass_ == Pass::Look ? Refuse(from) : Fail(from);
        levels_.push_back(std::move(next));
        return true;
    }

    // Opens, or in the copy makes, the destination folder of `next`. False when it cannot be
    // had: the look has refused, the copy has noted the failure and skips the subtree.
    bool Destination(const Level& level, const CString& name, Level& next) {
        if (!level.destination.IsOpen()) return true;  // below a folder still to be made
        const EntryKind kind = level.destination.Kind(name);
        if (kind == EntryKind::Missing) {
            if (pass_ == Pass::Look) return true;
            if (level.destination.CreateFolder(name, next.destination)) {
                if (receipt_) receipt_->folders.push_back(Below(next.destinationPath));
                return true;
            }
            if (platform::GetLastError() != platform::kErrorAlreadyExists) {
                Fail(next.destinationPath);
                return false;
            }
        }
        if (kind == EntryKind::File || kind == EntryKind::Other) {
            // A file where the pack has a folder: nothing goes into it, the rest is copied.
            if (pass_ == Pass::Look) return true;
            platform::SetLastError(platform::kErrorAlreadyExists);
            Fail(next.destinationPath);
            return false;
        }
        // A relocated album (a link its folder's owner made) is followed; a planted one not.
        if (!level.destination.OpenFolder(name, next.destination, true)) {
            if (pass_ == Pass::Look) {
                if (platform::GetLastError() == platform::kErrorLinkRefused)
                    return Refuse(CopyRefusal::Link, next.destinationPath);
                return Refuse(next.destinationPath);
            }
            Fail(next.destinationPath);
            return false;
        }
        // A folder on another file system gets a staging folder there.
        if (pass_ == Pass::Look && volumes_.insert(next.destination.Volume()).second) {
            CString entry;
            if (!look_->Inspect(next.destination, entry))
                return Refuse(CopyRefusal::Leftover, next.destinationPath + u"\\" + entry);
        }
        return true;
    }

    bool CopyFile(const Level& level, const CString& name, const CString& to) {
        if (pass_ == Pass::Look || !level.destination.IsOpen()) return true;
        const bool writable =
            levels_.size() == 1 && !writableName_.empty() && SameNoCase(name, writableName_);
        // The catalog is the merge's to account for.
        const bool catalog = levels_.size() == 1 && SameNoCase(name, u"config.xml");
        std::optional<platform::Sha256> digest;
        if (receipt_) digest.emplace();
        if (!copy_->StageCopy(level.source, name, level.destination, name, overwrite_ != 0,
                              writable, digest ? &*digest : nullptr)) {
            const uint32_t error = platform::GetLastError();
            // An existing file keeps its content; a link Wine listed as a file is skipped.
            if (error != platform::kErrorFileExists && error != platform::kErrorNotAFile) Fail(to);
            if (receipt_ && error == platform::kErrorFileExists && !catalog)
                receipt_->foundFiles.push_back(Below(to));
        } else if (receipt_) {
            staged_.push_back({Below(to), digest->Length(), digest->HexDigest(), catalog});
        }
        return !copy_->Full() || Commit();
    }

    bool Commit() {
        if (pass_ == Pass::Look) return true;
        CString failed, message;
        std::vector<bool> placed;
        const bool committed = copy_->Commit(&failed, &message, receipt_ ? &placed : nullptr);
        for (size_t i = 0; receipt_ && i < staged_.size() && i < placed.size(); ++i) {
            Receipt::File& file = staged_[i].file;
            if (placed[i] && staged_[i].catalog)
                receipt_->catalogCreated = true;
            else if (placed[i])
                receipt_->files.push_back(std::move(file));
            else if (!staged_[i].catalog)
                receipt_->foundFiles.push_back(std::move(file.path));  // there by then
        }
        staged_.clear();
        if (committed) return true;
        if (failure_ && failure_->path.empty()) {
            failure_->path = failed.empty() ? rootPath_ : failed;
            failure_->message = message;
        }
        complete_ = false;
        return true;
    }

    bool Fail(const CString& path) {
        if (failure_ && failure_->path.empty()) {
            failure_->path = path;
            failure_->message = platform::SystemErrorText();
        }
        complete_ = false;
        return true;
    }

    // A destination path as the receipt holds it: below the top of the copy.
    CString Below(const CString& path) const { return path.substr(rootPath_.size() + 1); }

    bool Refuse(const CString& path) {
        if (pass_ == Pass::Copy) return Fail(path) && false;
        return Refuse(CopyRefusal::Failure, path);
    }

    bool Refuse(CopyRefusal::Kind kind, const CString& path) {
        refusal_->kind = kind;
        refusal_->paths.assign(1, path);
        refusal_->message = kind == CopyRefusal::Failure ? platform::SystemErrorText() : CString();
        return false;
    }

    struct Staged {
        Receipt::File file;
        bool catalog;
    };
    Receipt* receipt_;
    PackListings* listings_;
    std::vector<Staged> staged_;  // waiting for the commit, in the staging's order
    Pass pass_;
    const platform::Staging* look_;
    platform::Staging* copy_;
    int overwrite_;
    CString writableName_;
    CopyRefusal* refusal_;
    CopyFailure* failure_;
    std::vector<std::unique_ptr<Level>> levels_;
    std::set<FolderId> entered_;
    std::set<uint64_t> volumes_;
    std::vector<CString> reserved_, lost_;
    CString rootPath_;
    bool complete_ = true;
};

}  // namespace

bool IsReservedName(std::u16string_view name) {
    // The name before its first dot, without the spaces Windows drops there.
    std::u16string_view stem = name.substr(0, name.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
    for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL"})
        if (SameNoCase(stem, device)) return true;
    return stem.size() == 4 &&
           (SameNoCase(stem.substr(0, 3), u"COM") || SameNoCase(stem.substr(0, 3), u"LPT")) &&
           stem[3] >= u'1' && stem[3] <= u'9';
}

bool CheckCopy(const Folder& source, const Folder& destination, const platform::Staging& staging,
               CopyRefusal& refusal, PackListings* listings) {
    refusal = CopyRefusal{};
    if (listings) listings->folders.clear();
    Walk walk(Pass::Look, &staging, nullptr, 0, CString(), &refusal, nullptr, listings);
    return walk.Run(source, destination);
}

bool CopyFolderTree(const Folder& source, const Folder& destination, int overwrite,
                    platform::Staging& staging, const CString& writableName, CopyFailure* failure,
                    Receipt* receipt, PackListings* listings) {
    Walk walk(Pass::Copy, nullptr, &staging, overwrite, writableName, nullptr, failure, listings,
              receipt);
    return walk.Run(source, destination);
}

bool CopyTree(const CString& source, const CString& destination, int overwrite,
              CopyFailure* failure) {
    Folder from, to;
    if (!from.Open(source.c_str())) return true;  // a pack without a folder has nothing
    if (!to.Open(destination.c_str())) {
        if (failure) *failure = {destination, platform::SystemErrorText()};
        return false;
    }
    platform::Staging staging(to);
    CopyRefusal refusal;
    PackListings listings;
    if (!CheckCopy(from, to, staging, refusal, &listings)) {
        if (failure) {
            failure->path = refusal.paths.empty() ? destination : refusal.paths.front();
            failure->message = refusal.message;
        }
        return false;
    }
    return CopyFolderTree(from, to, overwrite, staging, CString(), failure, nullptr, &listings);
}
