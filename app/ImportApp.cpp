#include "app/ImportApp.h"

#include <algorithm>
#include <memory>
#include <new>

#include "app/ImportDialog.h"
#include "app/resource.h"
#include "app/resources.h"
#include "platform/ascii_fold.h"
#include "platform/platform.h"

CImportApp theApp;

// clang-format off
BEGIN_MESSAGE_MAP(CImportApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()
// clang-format on

CImportApp::CImportApp() {
    ui::SetResourceModule(&kResourceModule);
}

BOOL CImportApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    const std::vector<CString>& arguments = ui::Arguments();
    if (arguments.size() < 2) return FALSE;
    m_commandWord = arguments[1];
    if (platform::CompareNoCase(m_commandWord.c_str(), u"marks") != 0) return FALSE;

    platform::RegKey key = nullptr;
    bool installed = false;
    if (platform::RegOpenCurrentUserKey(u"Software\\Mirvo", key)) {
        char16_t path[platform::kMaxPath] = {};
        uint32_t size = sizeof path;
        if (platform::QueryRegistryValue(key, u"Install Path", path, size, nullptr)) {
            // The path ends at its first NUL. Data that fills the buffer without one is a
            // path of 260 characters or more, too long for the folders built from it.
            const char16_t* end = std::find(path, path + platform::kMaxPath, u'\0');
            if (end != path + platform::kMaxPath) {
                m_installPath.assign(path, static_cast<size_t>(end - path));
                installed = true;
            }
        }
    }
    if (!installed) {
        ui::MessageBox(nullptr, u"安装失败，本机未安装MirvoPix", u"MirvoPix", MB_ICONERROR);
        // A stop signal that closed the message ends the tool there.
        if (!platform::StopRequested()) platform::ShellOpen(kHomePage);
        if (key) platform::RegCloseKey(key);
        return FALSE;
    }
    ReadProductVersion();
    platform::RegCloseKey(key);

    ImportSettings settings{m_commandWord,
                            m_installPath,
                            m_productVersion[kFileVersionHigh],
                            m_productVersion[kFileVersionLow],
                            {}};
    settings.packFolder = WorkingFolderPack(settings);
    CImportDialog dialog(settings, m_exitCode);
    m_pMainWnd = &dialog;
    dialog.DoModal();
    return FALSE;
}

int CImportApp::ExitInstance() {
    CWinApp::ExitInstance();
    return m_exitCode;
}

int CImportApp::ReadProductVersion() {
    char16_t path[platform::kMaxPath] = {};
    if (!platform::CombinePath(path, m_installPath.c_str(), u"mirvo.exe")) return 1;
    const uint32_t size = platform::VersionResourceSize(path);
    if (size == 0) return 1;
    // Zero-filled scratch, aligned for the words of the fixed record.
    std::unique_ptr<uint32_t[]> block(new (std::nothrow) uint32_t[(size + 3) / 4]());
    if (!block) return 1;
    const uint32_t* fixed = nullptr;
    if (platform::ReadVersionResource(path, size, block.get()) &&
        platform::VerQueryRoot(block.get(), size, fixed)) {
        std::copy(fixed, fixed + 13, m_productVersion);
    }
    return 1;
}
