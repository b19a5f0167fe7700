#include "app/ImportApp.h"
#include "app/ImportDialog.h"
#include "import/import.h"

void ImportWorker(void* dialog) {
    // The window, not the object: the message below is the worker's only contact with it.
    const HWND window = static_cast<CImportDialog*>(dialog)->GetSafeHwnd();
    ImportSettings settings;
    settings.commandWord = theApp.m_commandWord;
    settings.installPath = theApp.m_installPath;
    settings.fileVersionHigh = theApp.m_productVersion[kFileVersionHigh];
    settings.fileVersionLow = theApp.m_productVersion[kFileVersionLow];
    RunImport(settings, [window] { ui::PostMessage(window, WM_IMPORT_DONE, kImportDoneParam, 0); });
}
