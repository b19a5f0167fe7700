#include "import/catalog_file.h"

#include "xml/XmlDocument.h"

CatalogState ReadCatalog(CXmlDocument& document, const platform::Folder& folder, CatalogFile& file,
                         CatalogProblem& problem) {
    problem = {};
    CString real;
    platform::File* opened = folder.OpenFile(u"config.xml", true, &file.folder, &real);
    if (!opened) {
        const uint32_t error = platform::GetLastError();
        if (error == platform::kErrorLinkRefused) {
            problem.kind = CatalogProblem::LinkRefused;
        } else if (error == platform::kErrorNotAFile) {
            problem.kind = CatalogProblem::NotAFile;
        } else if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
            platform::FileStamp here, there;
            if (file.folder.IsOpen() &&
                (real != u"config.xml" || !folder.Stamp(CString(), here) ||
                 !file.folder.Stamp(CString(), there) || here.index != there.index ||
                 here.volume != there.volume)) {
                // A link to nothing: every later import would fail the same way.
                problem = {CatalogProblem::Dangling, file.folder.Path() + u"\\" + real};
                return CatalogState::Unusable;
            }
            file.name = u"config.xml";
            if (!folder.Duplicate(file.folder)) {
                problem = {CatalogProblem::Read, platform::SystemErrorText()};
                return CatalogState::Unusable;
            }
            return CatalogState::Missing;
        } else {
            problem = {CatalogProblem::Read, platform::SystemErrorText()};
        }
        return CatalogState::Unusable;
    }
    file.name = real;
    platform::StampOf(opened, file.stamp);
    platform::SetLastError(0);
    const bool parsed = document.LoadFile(opened);
    const uint32_t error = platform::GetLastError();
    // The read failed when the system says why, or when no text came of it (a short read, a
    // file too large); otherwise the text was read and did not parse.
    if (!parsed &&
        (error || (document.DocumentText().length() == 0 && !document.LoadedExactly()))) {
        problem = {CatalogProblem::Read, document.ResultText()};
        return CatalogState::Unusable;
    }
    // Text in another encoding is said to be so, also where it does not parse. Names of a
    // UTF-8 catalog would be compared and saved as other text: whatever its declaration says,
    // and even where its bytes happen to come back in the code page.
    if (document.LoadedUtf8Text()) {
        problem.kind = CatalogProblem::Encoding;
        return CatalogState::Unusable;
    }
    if (!document.LoadedExactly()) {
        problem.kind = CatalogProblem::CodePage;
        return CatalogState::Unusable;
    }
    if (!parsed) {
        problem = {CatalogProblem::Syntax, document.ResultText()};
        return CatalogState::Unusable;
    }
    return CatalogState::Loaded;
}

CatalogSave SaveCatalog(CXmlDocument& document, const CatalogFile& file, platform::Staging& staging,
                        CString& message) {
    // Written beside the catalog's real file, in this product's staging folder there.
    const platform::Folder* area = staging.AreaFor(file.folder);
    platform::TempFile temporary;
    if (!area || !temporary.Create(*area)) {
        message = platform::SystemErrorText();
        return CatalogSave::Failed;
    }
    if (!document.SaveFile(temporary)) {
        message = document.ResultText();
        return CatalogSave::Failed;
    }
    if (!temporary.MatchIdentity(file.folder, file.name) || !temporary.Close()) {
        message = platform::SystemErrorText();
        return CatalogSave::Failed;
    }
    platform::FileStamp now;
    if (!file.folder.Stamp(file.name, now) || now != file.stamp) return CatalogSave::Changed;
    if (temporary.Keep(file.folder, file.name, true) && file.folder.Sync(false))
        return CatalogSave::Saved;
    message = platform::SystemErrorText();
    return CatalogSave::Failed;
}
