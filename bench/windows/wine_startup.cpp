// Start-up of the Windows exes, as a user sees it: from CreateProcess to the
// first visible window of the new process (the dialog, or the open error's
// box before it). Prints the figures; no pass or fail.
//
//   wine_startup [RUNS] EXE...      (EXE beside this program)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Find
{
    DWORD nProcessId;
    bool bFound;
};

BOOL CALLBACK FindVisible(HWND hWnd, LPARAM lParam)
{
    auto* pFind = reinterpret_cast<Find*>(lParam);
    DWORD nProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &nProcessId);
    if (nProcessId == pFind->nProcessId && ::IsWindowVisible(hWnd)) {
        pFind->bFound = true;
        return FALSE;
    }
    return TRUE;
}

std::string Folder()
{
    char szPath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path = szPath;
    return path.substr(0, path.find_last_of("\\/") + 1);
}

// Milliseconds to the first visible window, or -1.
double StartOnce(const std::string& exe)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    ::QueryPerformanceFrequency(&frequency);
    std::string commandLine = "\"" + Folder() + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    double ms = -1;
    for (;;) {
        Find find{pi.dwProcessId, false};
        ::EnumWindows(&FindVisible, reinterpret_cast<LPARAM>(&find));
        ::QueryPerformanceCounter(&now);
        const double elapsed = 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                               static_cast<double>(frequency.QuadPart);
        if (find.bFound) {
            ms = elapsed;
            break;
        }
        if (elapsed > 30000)
            break;
        ::Sleep(1);
    }
    ::TerminateProcess(pi.hProcess, 0);
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return ms;
}

}  // namespace

int main(int argc, char** argv)
{
    int nRuns = 15;
    int i = 1;
    if (argc > 1 && std::atoi(argv[1]) > 0)
        nRuns = std::atoi(argv[i++]);
    for (; i < argc; ++i) {
        StartOnce(argv[i]);   // once to warm the caches
        std::vector<double> times;
        for (int n = 0; n < nRuns; ++n)
            times.push_back(StartOnce(argv[i]));
        std::sort(times.begin(), times.end());
        std::printf("%-18s first window: median %.1f ms, min %.1f ms, max %.1f ms (%d runs)\n", argv[i],
                    times[times.size() / 2], times.front(), times.back(), nRuns);
    }
    return 0;
}
