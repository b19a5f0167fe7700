#include "app/ImportDialog.h"

#include <memory>

#include "app/AboutBox.h"
#include "app/ImportApp.h"
#include "platform/platform.h"

// clang-format off
BEGIN_MESSAGE_MAP(CImportDialog, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_MESSAGE(WM_IMPORT_DONE, &CImportDialog::OnImportDone)
    ON_WM_TIMER()
END_MESSAGE_MAP()
// clang-format on

CImportDialog::CImportDialog(CWnd* pParent) : CDialog(IDD, pParent) {
    m_strText = u"MirvoPix正在帮您导入素材...";
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
    ui::BeginThread(ImportWorker, 0, this);
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

LRESULT CImportDialog::OnImportDone(WPARAM wParam, LPARAM lParam) {
    if (wParam != kImportDoneParam) return 0;
    const std::unique_ptr<CString> failure(reinterpret_cast<CString*>(lParam));
    KillTimer(m_nTimer);
    m_progress.SetPos(100);
    UpdateData(FALSE);
    ShowWindow(SW_HIDE);
    if (failure) {
        // Not done: no question about starting the product, and the exit status says so.
        MessageBox(failure->c_str(), u"MirvoPix", MB_ICONERROR);
        theApp.m_exitCode = 1;
    } else if (MessageBox(u"导入完成，是否试用MirvoPix？", u"MirvoPix",
                          MB_ICONINFORMATION | MB_YESNO) == IDYES) {
        // Plain concatenation: a path ending in a backslash gives two before the name.
        const CString program = theApp.m_installPath + u"\\mirvo.exe";
        platform::ShellStart(program.c_str(), theApp.m_installPath.c_str());
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
