// The small part of the Windows application framework that the shell is written against:
// an application object, modal dialogs with message maps and data exchange, a progress bar,
// timers, message boxes and a worker thread. It is a Windows program's vocabulary, so it lives
// with the shell and only the shell and its tests include it. framework_win32.cpp runs it on
// real windows made from the dialog templates in the program's resources; framework_posix.cpp
// runs the same classes over a message queue and draws the dialogs on the terminal.
//
// This header never includes windows.h. A Windows source that needs both includes this one
// first: the handle types below are the same types windows.h declares, and its macros then
// only shadow constants of the same value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/TextBuffer.h"

// ---- types --------------------------------------------------------------------------------

using BOOL = int;
using UINT = unsigned int;
using UINT_PTR = uintptr_t;
using INT_PTR = intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

struct HWND__;
struct HICON__;
struct HMENU__;
struct HDC__;
using HWND = HWND__*;
using HICON = HICON__*;
using HCURSOR = HICON;
using HMENU = HMENU__*;
using HDC = HDC__*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ---- messages and flags (the Windows values) ----------------------------------------------

constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_ICONERASEBKGND = 0x0027;
constexpr UINT WM_QUERYDRAGICON = 0x0037;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_GETPOS = WM_USER + 8;

constexpr UINT SC_MINIMIZE = 0xF020;
constexpr UINT SC_CLOSE = 0xF060;
constexpr UINT SC_RESTORE = 0xF120;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr UINT ID_HELP = 0xE146;

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_YESNO = 0x04;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_TYPEMASK = 0x0F;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_SEPARATOR = 0x0800;

constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;

// Window and control styles, for the templates the POSIX build carries.
constexpr uint32_t WS_POPUP = 0x80000000;
constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_BORDER = 0x00800000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t WS_GROUP = 0x00020000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t WS_MINIMIZEBOX = 0x00020000;
constexpr uint32_t WS_EX_APPWINDOW = 0x00040000;
constexpr uint32_t DS_MODALFRAME = 0x0080;
constexpr uint32_t DS_SETFONT = 0x0040;
constexpr uint32_t SS_LEFT = 0x0000;
constexpr uint32_t SS_CENTER = 0x0001;
constexpr uint32_t SS_ICON = 0x0003;
constexpr uint32_t SS_NOPREFIX = 0x0080;
constexpr uint32_t BS_DEFPUSHBUTTON = 0x0001;
constexpr uint32_t PBS_SMOOTH = 0x01;

#define afx_msg

class CCmdTarget;
class CWnd;
class CDialog;
class CWinApp;

// ---- message maps -------------------------------------------------------------------------

// A handler behind a message map entry: calls the member function with the message's
// arguments unpacked and returns the message's result.
using AFX_PMSG = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // 0 ends the map
    UINT nID;       // the command id for WM_COMMAND, 0 otherwise
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// clang-format off
#define DECLARE_MESSAGE_MAP()                                                                \
protected:                                                                                   \
    static const AFX_MSGMAP* GetThisMessageMap();                                            \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                               \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }        \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                        \
        using ThisClass [[maybe_unused]] = theClass;                                         \
        using TheBaseClass = baseClass;                                                      \
        static const AFX_MSGMAP_ENTRY messageEntries[] = {

#define END_MESSAGE_MAP()                                                                    \
            {0, 0, nullptr}};                                                                \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap,              \
                                              messageEntries};                               \
        return &messageMap;                                                                  \
    }

#define ON_WM_SYSCOMMAND()                                                                   \
    {WM_SYSCOMMAND, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT {                    \
        static_cast<ThisClass*>(t)->OnSysCommand(static_cast<UINT>(w), l);                   \
        return 0;                                                                            \
    }},
#define ON_WM_PAINT()                                                                        \
    {WM_PAINT, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                             \
        static_cast<ThisClass*>(t)->OnPaint();                                               \
        return 0;                                                                            \
    }},
#define ON_WM_QUERYDRAGICON()                                                                \
    {WM_QUERYDRAGICON, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                     \
        return reinterpret_cast<LRESULT>(static_cast<ThisClass*>(t)->OnQueryDragIcon());     \
    }},
#define ON_WM_TIMER()                                                                        \
    {WM_TIMER, 0, [](CCmdTarget* t, WPARAM w, LPARAM) -> LRESULT {                           \
        static_cast<ThisClass*>(t)->OnTimer(w);                                              \
        return 0;                                                                            \
    }},
#define ON_MESSAGE(message, memberFxn)                                                       \
    {message, 0, [](CCmdTarget* t, WPARAM w, LPARAM l) -> LRESULT {                          \
        return (static_cast<ThisClass*>(t)->*(memberFxn))(w, l);                             \
    }},
#define ON_COMMAND(id, memberFxn)                                                            \
    {WM_COMMAND, id, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                          \
        (static_cast<ThisClass*>(t)->*(memberFxn))();                                        \
        return 0;                                                                            \
    }},
// clang-format on

class CCmdTarget {
  public:
    virtual ~CCmdTarget() = default;
    // Runs the handler of WM_COMMAND `id`, if this object's map has one.
    BOOL OnCmdMsg(UINT id);

  protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // The first entry for the message (and command id), searching this class's map before
    // its bases'.
    const AFX_MSGMAP_ENTRY* FindEntry(UINT message, UINT id) const;
};

// ---- windows ------------------------------------------------------------------------------

struct CRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class CMenu {
  public:
    HMENU m_hMenu = nullptr;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const char16_t* lpszNewItem = nullptr);
};

class CDataExchange {
  public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
    BOOL m_bSaveAndValidate;  // true: controls to fields
    CWnd* m_pDlgWnd;
};

class CWnd : public CCmdTarget {
  public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }

    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    // Safe from any thread.
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // A window timer: WM_TIMER with `nIDEvent` every `nElapse` ms. Timer procedures are not
    // supported; pass null.
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, void* lpfnTimer);
    BOOL KillTimer(UINT_PTR nIDEvent);
    // The window's system menu, or null when it has none. Valid until the next call.
    CMenu* GetSystemMenu(BOOL bRevert);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    void GetClientRect(CRect* rect) const;
    void SetWindowText(const CString& text);
    CString GetWindowText() const;
    HWND GetDlgItem(int id) const;
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    int MessageBox(const char16_t* lpszText, const char16_t* lpszCaption = nullptr,
                   UINT nType = MB_OK);

    // The message map of a window; the window procedure of both backends calls it.
    // False when no entry handles the message.
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    // The default handling of the message being handled.
    LRESULT Default();

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnTimer(UINT_PTR nIDEvent);

    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

  private:
    friend struct WindowAccess;
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
    struct CurrentMessage {
        UINT message = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
        bool valid = false;
    };
    CurrentMessage m_current;  // the message being handled, for Default
    CurrentMessage m_bounce;   // Windows: a message handed back to the default handling
    CMenu m_systemMenu;
    std::vector<CWnd*> m_controls;  // bound by DDX_Control; let go when the window goes
};

class CProgressCtrl : public CWnd {
  public:
    void SetRange(short nLower, short nUpper);
    int SetPos(int nPos);
    int GetPos();
};

class CPaintDC {
  public:
    explicit CPaintDC(CWnd* window);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon);

  private:
    CWnd* m_window;
    HDC m_hDC = nullptr;
    void* m_paint = nullptr;  // the backend's paint record
};

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);

class CDialog : public CWnd {
  public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Runs the dialog until EndDialog; its result, or -1 when it could not be made.
    virtual INT_PTR DoModal();
    // Does the first data exchange (fields to controls); true gives the focus to the first
    // control.
    virtual BOOL OnInitDialog();
    void EndDialog(int nResult);

  protected:
    virtual void OnOK();
    virtual void OnCancel();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

  private:
    friend struct WindowAccess;
    INT_PTR m_nModalResult = -1;
    bool m_ended = false;
};

// ---- the application ----------------------------------------------------------------------

class CWinApp : public CCmdTarget {
  public:
    CWinApp();
    ~CWinApp() override;

    // Returning false ends the program without a message loop.
    virtual BOOL InitInstance();
    virtual int ExitInstance();
    BOOL Enable3dControls();
    HICON LoadIcon(UINT nIDResource) const;
    // The Help command. No help file ships with these programs, so it shows nothing.
    afx_msg void OnHelp();

    CWnd* m_pMainWnd = nullptr;

  protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;
};

// The one application object.
CWinApp* AfxGetApp();
void AfxEnableControlContainer();

// Runs the application object: sets the argument vector, calls InitInstance, returns the exit
// code. Windows: from wWinMain, with the process's wide command line.
int AfxWinMain();
// POSIX: from main, with the UTF-8 arguments.
int AfxWinMain(int argc, char** argv);

namespace ui {

// The runtime's wide argument vector (__wargv): the program, then its arguments.
const std::vector<CString>& Arguments();
void SetArguments(std::vector<CString> arguments);
// What AfxWinMain does once it has the arguments.
int RunApplication(std::vector<CString> arguments);

// MessageBoxW: IDOK, IDYES or IDNO. `owner` may be null.
int MessageBox(HWND owner, const CString& text, const CString& caption, UINT type);
// Safe from any thread; false when the window does not exist.
BOOL PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// String resource `id`; empty when there is none.
CString LoadResourceString(UINT id);
int GetSystemMetrics(int index);
// _beginthread: runs `procedure(argument)` on a new thread; -1 when none could be started.
uintptr_t BeginThread(void (*procedure)(void*), unsigned stackSize, void* argument);

// POSIX has no resource section: the program hands the framework the same templates and
// strings that its resource script gives the Windows build.
struct ControlTemplate {
    const char16_t* windowClass;  // u"Static", u"Button", u"msctls_progress32"
    const char16_t* text;
    int id;
    int x, y, cx, cy;
    uint32_t style;
};
struct DialogTemplate {
    UINT id;
    const char16_t* caption;
    uint32_t style;
    uint32_t exStyle;
    int cx, cy;
    const ControlTemplate* controls;
    size_t controlCount;
};
struct StringResource {
    UINT id;
    const char16_t* text;
};
struct ResourceModule {
    const DialogTemplate* dialogs;
    size_t dialogCount;
    const StringResource* strings;
    size_t stringCount;
    const UINT* icons;
    size_t iconCount;
};
void SetResourceModule(const ResourceModule* module);

// Stands in for the user in tests. Installed hooks answer every message box and see each
// dialog once it is initialised, inside its modal run.
class TestHooks {
  public:
    virtual ~TestHooks() = default;
    virtual int MessageBox(HWND owner, const CString& text, const CString& caption, UINT type) = 0;
    virtual void DialogReady(CDialog& /*dialog*/) {}
};
// Returns the previous hooks; null restores the user.
TestHooks* SetTestHooks(TestHooks* hooks);
TestHooks* CurrentTestHooks();

}  // namespace ui
