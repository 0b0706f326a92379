// Process entry on Windows: registers the common controls the dialog uses
// (the up-down control), then the framework's entry.
#include "platform/ui/afxwin.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_UPDOWN_CLASS;
    ::InitCommonControlsEx(&icc);
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
