// The application object: the command line, the product's registry entry and version record,
// and the progress dialog that runs the import.
#pragma once

#include <cstdint>

#include "app/framework/framework.h"

class CImportApp : public CWinApp {
  public:
    CImportApp();

    BOOL InitInstance() override;
    // 1 when an import did not complete, else 0.
    int ExitInstance() override;
    // Fills m_productVersion from mirvo.exe in the install path; 1 in every case.
    int ReadProductVersion();

    // Written before the progress dialog exists and never again; the dialog is handed what it
    // and the worker need of them.
    CString m_commandWord;               // the first argument, as typed
    CString m_installPath;               // HKCU\Software\Mirvo "Install Path"
    uint32_t m_productVersion[13] = {};  // mirvo.exe's VS_FIXEDFILEINFO; zero without one
    int m_exitCode = 0;                  // set by the dialog

    DECLARE_MESSAGE_MAP()
};

// Indexes of the file version words in m_productVersion.
constexpr int kFileVersionHigh = 2;
constexpr int kFileVersionLow = 3;

// Opened when the product is not installed.
inline constexpr char16_t kHomePage[] = u"https://www.mirvopix.com/";

extern CImportApp theApp;
