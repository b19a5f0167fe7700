#include "app/ImportDialog.h"

#include "app/AboutBox.h"
#include "platform/platform.h"

namespace {

constexpr char16_t kImportingText[] = u"MirvoPix正在帮您导入素材...";
// True while the wait lasts and after it, as the text stays up until the import ends.
constexpr char16_t kWaitingText[] = u"等待同一产品的另一次导入结束后继续...";

}  // namespace

void ImportNews::Waiting(HWND window) {
    m_waiting.store(true, std::memory_order_release);
    ui::PostMessage(window, WM_IMPORT_WAITING, 0, 0);
}

void ImportNews::Finished(HWND window, const CString& failure, const CString& notice) {
    m_failure = failure;
    m_notice = notice;
    m_finished.store(true, std::memory_order_release);
    ui::PostMessage(window, WM_IMPORT_DONE, kImportDoneParam, 0);
}

// clang-format off
BEGIN_MESSAGE_MAP(CImportDialog, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_MESSAGE(WM_IMPORT_DONE, &CImportDialog::OnImportDone)
    ON_WM_TIMER()
    ON_MESSAGE(WM_IMPORT_WAITING, &CImportDialog::OnImportWaiting)
END_MESSAGE_MAP()
// clang-format on

CImportDialog::CImportDialog(const ImportSettings& settings, int& exitCode, CWnd* pParent)
    : CDialog(IDD, pParent), m_settings(settings), m_exitCode(exitCode) {
    m_strText = kImportingText;
    // A pack found elsewhere than beside the tool is named before anything changes.
    if (!settings.packFolder.empty())
        m_strText = u"MirvoPix正在帮您导入素材“" +
                    ShownName(platform::FromUtf8(
                        platform::WindowsToHostPath(settings.packFolder.c_str()))) +
                    u"”...";
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

CImportDialog::~CImportDialog() = default;

void CImportDialog::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Text(pDX, IDC_TEXT, m_strText);
}

BOOL CImportDialog::OnInitDialog() {
    CDialog::OnInitDialog();

    if (CMenu* systemMenu = GetSystemMenu(FALSE)) {
        const CString about = ui::LoadResourceString(IDS_ABOUTBOX);
        if (!about.empty()) {
            systemMenu->AppendMenu(MF_SEPARATOR);
            systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_progress.SetRange(0, 100);
    m_nTimer = SetTimer(kProgressTimer, kProgressPeriod, nullptr);
    if (ui::BeginThread(ImportWorker, 0, this) == static_cast<uintptr_t>(-1))
        m_news.Finished(m_hWnd, WorkerStartFailureText());
    return TRUE;
}

void CImportDialog::OnOK() {}

void CImportDialog::OnCancel() {}

void CImportDialog::OnSysCommand(UINT nID, LPARAM lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutBox about;
        about.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CImportDialog::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = ui::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ui::GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    const int x = (rect.Width() - cxIcon + 1) / 2;
    const int y = (rect.Height() - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CImportDialog::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

LRESULT CImportDialog::OnImportDone(WPARAM wParam, LPARAM) {
    // Acted on once, and only when the worker has left its news: the message itself may come
    // from anywhere, also while the question is up.
    if (wParam != kImportDoneParam || m_ending || !m_news.IsFinished()) return 0;
    m_ending = true;
    KillTimer(m_nTimer);
    m_progress.SetPos(100);
    UpdateData(FALSE);
    ShowWindow(SW_HIDE);
    const CString& failure = m_news.Failure();
    if (!failure.empty()) {
        // Not done: no question about starting the product, and the exit status says so.
        m_exitCode = 1;
        MessageBox(failure.c_str(), u"MirvoPix", MB_ICONERROR);
        CDialog::OnCancel();
        return 0;
    }
    // Done all the same: what went wrong beside it is said, then the usual question.
    if (!m_news.Notice().empty())
        MessageBox(m_news.Notice().c_str(), u"MirvoPix", MB_ICONINFORMATION);
    if (MessageBox(u"导入完成，是否试用MirvoPix？", u"MirvoPix", MB_ICONINFORMATION | MB_YESNO) ==
        IDYES) {
        // Plain concatenation: a path ending in a backslash gives two before the name.
        const CString program = m_settings.installPath + u"\\mirvo.exe";
        platform::ShellStart(program.c_str(), m_settings.installPath.c_str());
    }
    CDialog::OnCancel();
    return 0;
}

void CImportDialog::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == kProgressTimer) {
        if (m_progress.GetPos() < 90) m_progress.SetPos(m_progress.GetPos() + 10);
    }
    CDialog::OnTimer(nIDEvent);
}

LRESULT CImportDialog::OnImportWaiting(WPARAM, LPARAM) {
    if (m_ending || !m_news.IsWaiting()) return 0;
    m_strText = kWaitingText;
    UpdateData(FALSE);
    return 0;
}
