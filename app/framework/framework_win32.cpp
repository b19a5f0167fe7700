// The framework on Windows: dialogs are real windows made from the templates in the program's
// resources by DialogBoxParamW, whose dialog procedure hands each message to the C++ object's
// message map.
//
// ui.h comes before windows.h on purpose (see ui.h).
#include "app/framework/framework.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include "platform/win32/wide.h"

using platform::Wide;
#include <process.h>
#include <shellapi.h>

#include <mutex>

// windows.h names these as macros for its A/W variants; ours are plain members and functions.
#undef AppendMenu
#undef GetWindowText
#undef LoadIcon
#undef MessageBox
#undef PostMessage
#undef SendMessage
#undef SetWindowText

struct WindowAccess {
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

namespace {

HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message) {
    switch (message) {
        case WM_QUERYDRAGICON:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return true;
        default:
            return false;
    }
}

}  // namespace

INT_PTR CALLBACK WindowAccess::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        dialog->m_hWnd = window;
        const BOOL focus = dialog->OnInitDialog();
        if (ui::TestHooks* hooks = ui::CurrentTestHooks()) hooks->DialogReady(*dialog);
        return focus;
    }
    auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (!dialog) return FALSE;

    // CWnd::Default hands the message to DefDlgProcW, which asks this procedure first: say
    // "not handled" once so that the system's own handling runs.
    CWnd::CurrentMessage& bounce = dialog->m_bounce;
    if (bounce.valid && bounce.message == message && bounce.wParam == wParam &&
        bounce.lParam == lParam) {
        bounce.valid = false;
        return FALSE;
    }
    if (message == WM_NCDESTROY) {
        for (CWnd* control : dialog->m_controls) control->m_hWnd = nullptr;
        dialog->m_controls.clear();
        dialog->m_hWnd = nullptr;
        ::SetWindowLongPtrW(window, DWLP_USER, 0);
        return FALSE;
    }
    LRESULT result = 0;
    if (!dialog->OnWndMsg(message, wParam, lParam, &result)) return FALSE;
    if (ReturnsDirectly(message)) return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

// ---- CWnd ---------------------------------------------------------------------------------

BOOL CWnd::ShowWindow(int nCmdShow) {
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsWindowVisible() const {
    return ::IsWindowVisible(m_hWnd);
}

BOOL CWnd::IsIconic() const {
    return ::IsIconic(m_hWnd);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, void*) {
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr);
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent) {
    return ::KillTimer(m_hWnd, nIDEvent);
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) {
    HMENU menu = ::GetSystemMenu(m_hWnd, bRevert);
    if (!menu) return nullptr;
    m_systemMenu.m_hMenu = menu;
    return &m_systemMenu;
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(::SendMessageW(
        m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

void CWnd::GetClientRect(CRect* rect) const {
    RECT r{};
    ::GetClientRect(m_hWnd, &r);
    *rect = CRect{r.left, r.top, r.right, r.bottom};
}

void CWnd::SetWindowText(const CString& text) {
    ::SetWindowTextW(m_hWnd, Wide(text.c_str()));
}

CString CWnd::GetWindowText() const {
    const int length = ::GetWindowTextLengthW(m_hWnd);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    const int got = ::GetWindowTextW(m_hWnd, buffer.data(), length + 1);
    return CString(reinterpret_cast<const char16_t*>(buffer.data()),
                   static_cast<size_t>(got > 0 ? got : 0));
}

HWND CWnd::GetDlgItem(int id) const {
    return ::GetDlgItem(m_hWnd, id);
}

LRESULT CWnd::Default() {
    if (!m_current.valid || !m_hWnd) return 0;
    m_bounce = m_current;
    const LRESULT result =
        ::DefDlgProcW(m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
    m_bounce.valid = false;
    return result;
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, const char16_t* lpszNewItem) {
    return ::AppendMenuW(m_hMenu, nFlags, nIDNewItem, Wide(lpszNewItem));
}

CPaintDC::CPaintDC(CWnd* window) : m_window(window) {
    auto* paint = new PAINTSTRUCT{};
    m_paint = paint;
    m_hDC = ::BeginPaint(window->m_hWnd, paint);
}

CPaintDC::~CPaintDC() {
    auto* paint = static_cast<PAINTSTRUCT*>(m_paint);
    ::EndPaint(m_window->m_hWnd, paint);
    delete paint;
}

BOOL CPaintDC::DrawIcon(int x, int y, HICON hIcon) {
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

// ---- dialogs ------------------------------------------------------------------------------

INT_PTR CDialog::DoModal() {
    static std::once_flag once;
    std::call_once(once, [] {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&controls);
    });
    // Without a parent the main window owns the dialog, as the framework does.
    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!owner && AfxGetApp() && AfxGetApp()->m_pMainWnd && AfxGetApp()->m_pMainWnd != this)
        owner = AfxGetApp()->m_pMainWnd->m_hWnd;
    m_ended = false;
    m_nModalResult = ::DialogBoxParamW(Instance(), MAKEINTRESOURCEW(m_nIDTemplate), owner,
                                       &WindowAccess::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return m_nModalResult;
}

void CDialog::EndDialog(int nResult) {
    m_ended = true;
    ::EndDialog(m_hWnd, nResult);
}

// ---- the application and the rest --------------------------------------------------------

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return ::LoadIconW(Instance(), MAKEINTRESOURCEW(nIDResource));
}

int AfxWinMain() {
    int count = 0;
    LPWSTR* vector = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<CString> arguments;
    for (int i = 0; vector && i < count; ++i)
        arguments.emplace_back(reinterpret_cast<const char16_t*>(vector[i]));
    if (vector) ::LocalFree(vector);
    return ui::RunApplication(std::move(arguments));
}

namespace ui {

int MessageBox(HWND owner, const CString& text, const CString& caption, UINT type) {
    if (TestHooks* hooks = CurrentTestHooks()) return hooks->MessageBox(owner, text, caption, type);
    return ::MessageBoxW(owner, Wide(text.c_str()), Wide(caption.c_str()), type);
}

BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam);
}

CString LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    // With no room given, LoadStringW points into the resource itself.
    const int length = ::LoadStringW(Instance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return {};
    return CString(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(length));
}

int GetSystemMetrics(int index) {
    return ::GetSystemMetrics(index);
}

uintptr_t BeginThread(void (*procedure)(void*), unsigned stackSize, void* argument) {
    return ::_beginthread(procedure, stackSize, argument);
}

void SetResourceModule(const ResourceModule*) {
    // The templates and strings are the ones compiled into the executable.
}

}  // namespace ui
