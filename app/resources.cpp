// Keep in step with brevlo.rc; tests/app/resources_test.cpp compares the two.
#include "app/resources.h"

#include <iterator>

#include "app/resource.h"

namespace {

const ui::ControlTemplate kAboutControls[] = {
    {u"Static", u"", IDC_STATIC, 11, 17, 20, 20, SS_ICON},
    {u"Static", u"Brevlo 1.0 版", IDC_STATIC, 40, 10, 119, 8, SS_LEFT | SS_NOPREFIX | WS_GROUP},
    {u"Static", u"版权所有 (C) 2026 Brevlo", IDC_STATIC, 40, 25, 119, 8, SS_LEFT | WS_GROUP},
    {u"Button", u"确定", IDOK, 178, 7, 50, 14, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP},
};

const ui::ControlTemplate kImportControls[] = {
    {u"msctls_progress32", u"", IDC_PROGRESS, 7, 21, 194, 14, WS_BORDER | PBS_SMOOTH},
    {u"Static", u"", IDC_TEXT, 7, 7, 194, 8, SS_CENTER | WS_GROUP},
};

const ui::DialogTemplate kDialogs[] = {
    {IDD_ABOUTBOX, u"关于 Brevlo", DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 235, 55,
     kAboutControls, std::size(kAboutControls)},
    {IDD_IMPORT_DIALOG, u"MirvoPix",
     DS_MODALFRAME | WS_MINIMIZEBOX | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU,
     WS_EX_APPWINDOW, 208, 43, kImportControls, std::size(kImportControls)},
};

const ui::StringResource kStrings[] = {
    {IDS_ABOUTBOX, u"关于 Brevlo(&A)..."},
};

const UINT kIcons[] = {IDR_MAINFRAME};

}  // namespace

const ui::ResourceModule kResourceModule = {
    kDialogs, std::size(kDialogs), kStrings, std::size(kStrings), kIcons, std::size(kIcons)};
