#include "app/ImportDialog.h"
#include "import/run_import.h"

void ImportWorker(void* argument) {
    CImportDialog& dialog = *static_cast<CImportDialog*>(argument);
    // Copies of what it needs: once the news of the end is left, the dialog may be gone.
    const HWND window = dialog.GetSafeHwnd();
    const ImportSettings settings = dialog.Settings();
    ImportNews& news = dialog.m_news;
    RunImport(
        settings,
        [&](const ImportOutcome& outcome) {
            news.Finished(window, outcome.failure, outcome.notice);
        },
        [&] { news.Waiting(window); });
}
