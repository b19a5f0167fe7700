#include "app/ImportApp.h"
#include "app/ImportDialog.h"
#include "import/run_import.h"

void ImportWorker(void* dialog) {
    // The window, not the object: the message below is the worker's only contact with it.
    const HWND window = static_cast<CImportDialog*>(dialog)->GetSafeHwnd();
    ImportSettings settings;
    settings.commandWord = theApp.m_commandWord;
    settings.installPath = theApp.m_installPath;
    settings.fileVersionHigh = theApp.m_productVersion[kFileVersionHigh];
    settings.fileVersionLow = theApp.m_productVersion[kFileVersionLow];
    RunImport(settings, [window](const ImportOutcome& outcome) {
        // What failed travels with the message; the dialog owns the text from then on.
        CString* failure = outcome.failure.empty() ? nullptr : new CString(outcome.failure);
        if (!ui::PostMessage(window, WM_IMPORT_DONE, kImportDoneParam,
                             reinterpret_cast<LPARAM>(failure)))
            delete failure;
    });
}
