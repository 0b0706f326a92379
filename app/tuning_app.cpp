#include "app/tuning_app.h"

#include "dialog/tuning_dlg.h"

BEGIN_MESSAGE_MAP(CTuningApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CTuningApp::CTuningApp() = default;

// Static initialisation, in this order: the one application object, then the
// identifier of the registered message the dialog answers.
CTuningApp theApp;
UINT g_wmProgramChanged = ::RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED");

BOOL CTuningApp::InitInstance()
{
    CTuningDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
