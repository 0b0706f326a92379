// Linked into the test build of the tool: when TAVRIK_DM_TRACE names a file,
// every message numbered WM_USER+0..+2 that is sent (not posted) to a dialog
// of the user-interface thread is appended to it as "0x401 wParam lParam".
// Those numbers are the dialog manager's DM_GETDEFID, DM_SETDEFID and
// DM_REPOSITION, and also the dialog's private apply messages: the trace shows
// which of them the window system sends by itself.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* g_pszTraceFile = nullptr;

LRESULT CALLBACK TraceSent(int nCode, WPARAM wParam, LPARAM lParam)
{
    const auto* pMsg = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (nCode == HC_ACTION && pMsg->message >= WM_USER && pMsg->message <= WM_USER + 2) {
        char szClass[16] = {};
        ::GetClassNameA(pMsg->hwnd, szClass, sizeof szClass);
        if (std::strcmp(szClass, "#32770") == 0) {
            if (std::FILE* file = std::fopen(g_pszTraceFile, "a")) {
                std::fprintf(file, "0x%x %llu %lld\n", pMsg->message,
                             static_cast<unsigned long long>(pMsg->wParam),
                             static_cast<long long>(pMsg->lParam));
                std::fclose(file);
            }
        }
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Installed during static initialisation, on the thread that runs the dialog.
const bool g_bInstalled = [] {
    g_pszTraceFile = std::getenv("TAVRIK_DM_TRACE");
    if (g_pszTraceFile == nullptr || *g_pszTraceFile == '\0')
        return false;
    return ::SetWindowsHookExA(WH_CALLWNDPROC, &TraceSent, nullptr, ::GetCurrentThreadId()) != nullptr;
}();

}  // namespace
