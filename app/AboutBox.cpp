#include "app/AboutBox.h"

BEGIN_MESSAGE_MAP(CAboutBox, CDialog)
END_MESSAGE_MAP()

CAboutBox::CAboutBox() : CDialog(IDD) {}

void CAboutBox::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
}
