// The parts of the framework that do not depend on the backend: message maps, data exchange,
// the dialog's command handling and the application object.
#include "app/framework/framework.h"

#include <atomic>
#include <utility>

namespace {

CWinApp* g_app = nullptr;
std::vector<CString> g_arguments;
std::atomic<ui::TestHooks*> g_hooks{nullptr};

}  // namespace

namespace ui {

const std::vector<CString>& Arguments() {
    return g_arguments;
}

void SetArguments(std::vector<CString> arguments) {
    g_arguments = std::move(arguments);
}

TestHooks* SetTestHooks(TestHooks* hooks) {
    return g_hooks.exchange(hooks);
}

int RunApplication(std::vector<CString> arguments) {
    SetArguments(std::move(arguments));
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    if (app->InitInstance()) {
        // No message loop of its own: every window of these programs is modal.
    }
    return app->ExitInstance();
}

// Used by the backends.
TestHooks* CurrentTestHooks() {
    return g_hooks.load();
}

}  // namespace ui

// ---- message maps -------------------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindEntry(UINT message, UINT id) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nMessage; ++entry) {
            if (entry->nMessage == message && entry->nID == id) return entry;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT id) {
    const AFX_MSGMAP_ENTRY* entry = FindEntry(WM_COMMAND, id);
    if (!entry) return FALSE;
    entry->pfn(this, id, 0);
    return TRUE;
}

// ---- windows ------------------------------------------------------------------------------

CWnd::~CWnd() {
    // The application must not keep a main window that no longer exists.
    if (g_app && g_app->m_pMainWnd == this) g_app->m_pMainWnd = nullptr;
}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const {
    return GetThisMessageMap();
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    const UINT id = message == WM_COMMAND ? static_cast<UINT>(wParam & 0xFFFF) : 0;
    const AFX_MSGMAP_ENTRY* entry = FindEntry(message, id);
    const CurrentMessage saved = m_current;
    m_current = {message, wParam, lParam, true};
    LRESULT value = 0;
    BOOL handled = FALSE;
    if (entry) {
        value = entry->pfn(this, wParam, lParam);
        handled = TRUE;
    } else if (message == WM_COMMAND && g_app) {
        // Commands a window does not handle go on to the application.
        handled = g_app->OnCmdMsg(id);
    }
    m_current = saved;
    if (result) *result = value;
    return handled;
}

void CWnd::DoDataExchange(CDataExchange*) {}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

int CWnd::MessageBox(const char16_t* lpszText, const char16_t* lpszCaption, UINT nType) {
    return ui::MessageBox(m_hWnd, lpszText ? CString(lpszText) : CString(),
                          lpszCaption ? CString(lpszCaption) : CString(), nType);
}

void CWnd::OnSysCommand(UINT, LPARAM) {
    Default();
}

void CWnd::OnPaint() {
    Default();
}

HCURSOR CWnd::OnQueryDragIcon() {
    return reinterpret_cast<HCURSOR>(Default());
}

void CWnd::OnTimer(UINT_PTR) {
    Default();
}

void CProgressCtrl::SetRange(short nLower, short nUpper) {
    // Both bounds in one word: lower in the low half, upper in the high half.
    const LPARAM packed =
        static_cast<LPARAM>((static_cast<uint32_t>(static_cast<uint16_t>(nUpper)) << 16) |
                            static_cast<uint16_t>(nLower));
    SendMessage(PBM_SETRANGE, 0, packed);
}

int CProgressCtrl::SetPos(int nPos) {
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos), 0));
}

int CProgressCtrl::GetPos() {
    return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0));
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd) return;
    rControl.m_hWnd = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (rControl.m_hWnd) pDX->m_pDlgWnd->m_controls.push_back(&rControl);
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND item = pDX->m_pDlgWnd->GetDlgItem(nIDC);
    if (!item) return;
    CWnd control;
    control.m_hWnd = item;
    if (pDX->m_bSaveAndValidate) {
        value = control.GetWindowText();
    } else {
        control.SetWindowText(value);
    }
    control.m_hWnd = nullptr;
}

// ---- dialogs ------------------------------------------------------------------------------

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() = default;

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

const AFX_MSGMAP* CDialog::GetThisMessageMap() {
    // Enter, Esc and the close commands arrive as these two commands.
    static const AFX_MSGMAP_ENTRY entries[] = {{WM_COMMAND, IDOK,
                                                [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {
                                                    static_cast<CDialog*>(t)->OnOK();
                                                    return 0;
                                                }},
                                               {WM_COMMAND, IDCANCEL,
                                                [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {
                                                    static_cast<CDialog*>(t)->OnCancel();
                                                    return 0;
                                                }},
                                               {0, 0, nullptr}};
    static const AFX_MSGMAP map = {&CWnd::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP* CDialog::GetMessageMap() const {
    return GetThisMessageMap();
}

// ---- the application ----------------------------------------------------------------------

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

BOOL CWinApp::Enable3dControls() {
    return TRUE;  // every system since Windows 95 draws them so
}

void CWinApp::OnHelp() {}

const AFX_MSGMAP* CWinApp::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP* CWinApp::GetMessageMap() const {
    return GetThisMessageMap();
}

CWinApp* AfxGetApp() {
    return g_app;
}

void AfxEnableControlContainer() {}
