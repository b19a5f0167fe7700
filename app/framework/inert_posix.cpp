// Calls that mean nothing on a terminal, all in one place: icons, painting, the minimised
// state, screen metrics and the system menu. The shell makes them as it does on Windows; here
// they keep plain records and answer as Windows would, so that the shell's code runs unchanged
// and its tests can look at what it asked for. The system menu's one use on the terminal is
// its first entry with an access key, which the progress line offers (framework_posix.cpp).
#include <map>
#include <memory>

#include "app/framework/framework_posix.h"

BOOL CWnd::IsIconic() const {
    return IsLive(m_hWnd) && m_hWnd->iconic ? TRUE : FALSE;
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) {
    if (!IsLive(m_hWnd) || !(m_hWnd->style & WS_SYSMENU)) return nullptr;
    if (bRevert) {
        m_hWnd->systemMenu.reset();
        return nullptr;
    }
    if (!m_hWnd->systemMenu) m_hWnd->systemMenu = std::make_unique<HMENU__>();
    m_systemMenu.m_hMenu = m_hWnd->systemMenu.get();
    return &m_systemMenu;
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? 1 : 0, reinterpret_cast<LPARAM>(hIcon)));
}

void CWnd::GetClientRect(CRect* rect) const {
    *rect = CRect{};
    if (!IsLive(m_hWnd)) return;
    // Dialog units of a 9-point font, roughly.
    rect->right = m_hWnd->cx * 3 / 2;
    rect->bottom = m_hWnd->cy * 2;
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, const char16_t* lpszNewItem) {
    if (!m_hMenu) return FALSE;
    m_hMenu->items.push_back({nFlags, nIDNewItem, lpszNewItem ? lpszNewItem : u""});
    return TRUE;
}

CPaintDC::CPaintDC(CWnd* window) : m_window(window) {
    static HDC__ terminalDc{0};
    m_hDC = &terminalDc;
}

CPaintDC::~CPaintDC() = default;

BOOL CPaintDC::DrawIcon(int, int, HICON hIcon) {
    return hIcon ? TRUE : FALSE;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    static std::map<UINT, std::unique_ptr<HICON__>> loaded;
    const ui::ResourceModule* resources = Resources();
    if (!resources) return nullptr;
    for (size_t i = 0; i < resources->iconCount; ++i) {
        if (resources->icons[i] != nIDResource) continue;
        auto& icon = loaded[nIDResource];
        if (!icon) icon = std::make_unique<HICON__>(HICON__{nIDResource});
        return icon.get();
    }
    return nullptr;
}

namespace ui {

int GetSystemMetrics(int index) {
    return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
}

}  // namespace ui

namespace inert {

LRESULT DefaultProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_MINIMIZE) window->iconic = true;
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) window->iconic = false;
    if (message != WM_SETICON) return 0;
    HICON& slot = wParam ? window->bigIcon : window->smallIcon;
    HICON old = slot;
    slot = reinterpret_cast<HICON>(lParam);
    return reinterpret_cast<LRESULT>(old);
}

}  // namespace inert
