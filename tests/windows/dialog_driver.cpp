#include "tests/windows/dialog_driver.h"

#include "res/resource.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace driver {

const wchar_t* const DialogCaption = L"Tavrik f\u00fcr Siemens-DVB v1.0";

namespace {

// How long to wait for the tool before a step fails. An emulated machine (the
// 32-bit Wine VM) is many times slower and sets TAVRIK_DRIVER_TIMEOUT_MS.
DWORD TimeoutFromEnvironment()
{
    char szValue[16] = {};
    const DWORD nLength = ::GetEnvironmentVariableA("TAVRIK_DRIVER_TIMEOUT_MS", szValue, sizeof szValue);
    if (nLength == 0 || nLength >= sizeof szValue)
        return 20000;
    const unsigned long nValue = std::strtoul(szValue, nullptr, 10);
    return nValue >= 1000 && nValue <= 600000 ? static_cast<DWORD>(nValue) : 20000;
}

const DWORD TimeoutMs = TimeoutFromEnvironment();
constexpr int ControlIds[] = {IDOK, IDC_EDIT_VIDEO_PID, IDC_SPIN_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_SPIN_AUDIO_PID,
                               IDC_REFRESH, IDC_EDIT_FREQUENCY, IDC_SPIN_FREQUENCY, IDC_EDIT_SYMBOL_RATE};

std::string ModuleFolder()
{
    char szPath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path = szPath;
    return path.substr(0, path.find_last_of("\\/") + 1);
}

std::string TempName(const char* pszWhat)
{
    static int nSession = 0;
    char szTemp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, szTemp);
    char szName[MAX_PATH];
    std::snprintf(szName, sizeof szName, "%stavrik-%lu-%d-%s.txt", szTemp,
                  ::GetCurrentProcessId(), ++nSession, pszWhat);
    return szName;
}

template <class Pred>
bool WaitFor(Pred pred, DWORD nTimeoutMs = TimeoutMs)
{
    const DWORD nStart = ::GetTickCount();
    while (!pred()) {
        if (::GetTickCount() - nStart > nTimeoutMs)
            return false;
        ::Sleep(10);
    }
    return true;
}

LRESULT Send(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR nResult = 0;
    ::SendMessageTimeoutW(hWnd, message, wParam, lParam, SMTO_NORMAL, TimeoutMs, &nResult);
    return static_cast<LRESULT>(nResult);
}

struct FindBox
{
    DWORD nProcessId;
    HWND hExclude;
    HWND hFound;
};

BOOL CALLBACK FindBoxProc(HWND hWnd, LPARAM lParam)
{
    auto* pFind = reinterpret_cast<FindBox*>(lParam);
    DWORD nProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &nProcessId);
    char szClass[64] = {};
    ::GetClassNameA(hWnd, szClass, sizeof szClass);
    if (nProcessId == pFind->nProcessId && hWnd != pFind->hExclude && ::IsWindowVisible(hWnd)
        && std::string(szClass) == "#32770") {
        pFind->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

Session::Session(const std::vector<std::string>& cardCommands)
    : m_logPath(TempName("log")), m_inboxPath(TempName("inbox")), m_tracePath(TempName("dm")),
      m_accTracePath(TempName("acc"))
{
    ::DeleteFileA(m_logPath.c_str());
    ::DeleteFileA(m_tracePath.c_str());
    ::DeleteFileA(m_accTracePath.c_str());
    WriteInbox(cardCommands);
    ::SetEnvironmentVariableA("TAVRIK_RECCARD_LOG", m_logPath.c_str());
    ::SetEnvironmentVariableA("TAVRIK_RECCARD_INBOX", m_inboxPath.c_str());
    ::SetEnvironmentVariableA("TAVRIK_DM_TRACE", m_tracePath.c_str());
    ::SetEnvironmentVariableA("TAVRIK_ACC_TRACE", m_accTracePath.c_str());

    std::string commandLine = "\"" + ModuleFolder() + "tavrik-rec.exe\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &si, &m_pi))
        m_pi = PROCESS_INFORMATION{};
}

Session::Session(const char* pszExe) : m_bRecording(false)
{
    std::string commandLine = "\"" + ModuleFolder() + pszExe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
        m_pi = PROCESS_INFORMATION{};
}

Session::~Session()
{
    if (m_pi.hProcess != nullptr) {
        if (Running()) {
            ::TerminateProcess(m_pi.hProcess, 99);
            ::WaitForSingleObject(m_pi.hProcess, TimeoutMs);
        }
        ::CloseHandle(m_pi.hThread);
        ::CloseHandle(m_pi.hProcess);
    }
    if (m_bRecording) {
        ::DeleteFileA(m_logPath.c_str());
        ::DeleteFileA(m_inboxPath.c_str());
        ::DeleteFileA(m_tracePath.c_str());
        ::DeleteFileA(m_accTracePath.c_str());
    }
}

bool Session::Running() const
{
    return m_pi.hProcess != nullptr && ::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT;
}

bool Session::WaitForDialog()
{
    // Under load the window can be found before its controls exist: wait for
    // a visible dialog with every control, and for the first card read.
    return WaitFor([this] {
        for (HWND h = ::FindWindowExW(nullptr, nullptr, nullptr, DialogCaption); h != nullptr;
             h = ::FindWindowExW(nullptr, h, nullptr, DialogCaption)) {
            DWORD nProcessId = 0;
            ::GetWindowThreadProcessId(h, &nProcessId);
            if (nProcessId != m_pi.dwProcessId || !::IsWindowVisible(h))
                continue;
            for (int nID : ControlIds) {
                if (::GetDlgItem(h, nID) == nullptr)
                    return false;
            }
            if (!m_bRecording) {
                m_hDialog = h;
                return true;
            }
            const std::vector<std::string> log = Log();
            for (const std::string& entry : log) {
                if (entry == "GetSymbolrate") {
                    m_hDialog = h;
                    return true;
                }
            }
        }
        return false;
    });
}

std::string Session::WindowText(HWND hWnd)
{
    wchar_t szText[256] = {};
    Send(hWnd, WM_GETTEXT, sizeof szText / sizeof szText[0], reinterpret_cast<LPARAM>(szText));
    char szUtf8[512] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, szText, -1, szUtf8, sizeof szUtf8, nullptr, nullptr);
    return szUtf8;
}

std::string Session::Text(int nID) const
{
    return WindowText(Item(nID));
}

int Session::SpinPos(int nID) const
{
    // Without a buddy the high word flags an error; the low word is right.
    return LOWORD(Send(Item(nID), UDM_GETPOS, 0, 0));
}

HWND Session::Focus() const
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(m_pi.dwThreadId, &info))
        return nullptr;
    return info.hwndFocus;
}

void Session::ClickSpin(int nID, bool bUp)
{
    HWND hSpin = Item(nID);
    RECT rect{};
    ::GetClientRect(hSpin, &rect);
    const int x = rect.right / 2;
    const int y = bUp ? rect.bottom / 4 : rect.bottom * 3 / 4;
    Send(hSpin, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    Send(hSpin, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    Settle();
}

void Session::SpinKey(int nID, UINT vk)
{
    Send(Item(nID), WM_KEYDOWN, vk, 1);
    Send(Item(nID), WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
    Settle();
}

void Session::Key(UINT vk)
{
    HWND hTarget = Focus();
    if (hTarget == nullptr)
        hTarget = m_hDialog;
    const auto nScan = static_cast<LPARAM>(::MapVirtualKeyA(vk, MAPVK_VK_TO_VSC)) << 16;
    ::PostMessageW(hTarget, WM_KEYDOWN, vk, nScan | 1);
    ::PostMessageW(hTarget, WM_KEYUP, vk, nScan | static_cast<LPARAM>(0xC0000001u));
    Settle();
}

void Session::Click(int nID)
{
    ::PostMessageW(Item(nID), BM_CLICK, 0, 0);
    Settle();
}

void Session::SysCommand(WPARAM nCommand)
{
    ::PostMessageW(m_hDialog, WM_SYSCOMMAND, nCommand, 0);
    Settle();
}

void Session::ProgramChanged(bool bBroadcast)
{
    const UINT nMessage = ::RegisterWindowMessageA("WM_DVB_PROGRAM_CHANGED");
    ::PostMessageA(bBroadcast ? HWND_BROADCAST : m_hDialog, nMessage, 0x1234, 0x5678);
    Settle();
}

void Session::WriteInbox(const std::vector<std::string>& commands)
{
    const std::string temp = m_inboxPath + ".new";
    {
        std::ofstream out(temp, std::ios::binary);
        for (const std::string& command : commands)
            out << command << '\n';
    }
    ::MoveFileExA(temp.c_str(), m_inboxPath.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void Session::Card(const std::vector<std::string>& commands)
{
    WriteInbox(commands);
}

bool Session::Barrier(UINT nLimit)
{
    // Posted messages of one thread are handled in order: once a posted text
    // limit on the symbol-rate box is in force, everything posted before it
    // has been handled. Nothing else sets that limit.
    HWND hBox = Item(IDC_EDIT_SYMBOL_RATE);
    if (!::PostMessageW(hBox, EM_SETLIMITTEXT, nLimit, 0))
        return false;
    return WaitFor([&] { return !Running() || static_cast<UINT>(Send(hBox, EM_GETLIMITTEXT, 0, 0)) == nLimit; });
}

void Session::Settle()
{
    if (m_hDialog == nullptr || !Running() || !::IsWindow(m_hDialog))
        return;
    // Twice: a message handled before the first barrier may have posted more.
    Barrier(++m_nBarrier);
    Barrier(++m_nBarrier);
}

namespace {

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> log;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            log.push_back(line);
    }
    return log;
}

}  // namespace

std::vector<std::string> Session::Log() const
{
    return ReadLines(m_logPath);
}

std::vector<std::string> Session::DialogManagerTrace() const
{
    return ReadLines(m_tracePath);
}

std::vector<std::string> Session::AnnotationTrace() const
{
    return ReadLines(m_accTracePath);
}

std::vector<std::string> Session::LogSince(std::size_t nMark) const
{
    std::vector<std::string> log = Log();
    return nMark < log.size() ? std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(nMark), log.end())
                              : std::vector<std::string>{};
}

HWND Session::WaitForMessageBox() const
{
    FindBox find{m_pi.dwProcessId, m_hDialog, nullptr};
    WaitFor([&] {
        find.hFound = nullptr;
        ::EnumWindows(&FindBoxProc, reinterpret_cast<LPARAM>(&find));
        return find.hFound != nullptr && WindowText(find.hFound) != "";
    });
    return find.hFound;
}

std::string Session::MessageBoxText(HWND hBox)
{
    std::string text;
    for (HWND h = ::GetWindow(hBox, GW_CHILD); h != nullptr; h = ::GetWindow(h, GW_HWNDNEXT)) {
        char szClass[64] = {};
        ::GetClassNameA(h, szClass, sizeof szClass);
        if (std::string(szClass) == "Static" && !WindowText(h).empty())
            text = WindowText(h);
    }
    return text;
}

long Session::WaitForExit()
{
    if (m_pi.hProcess == nullptr || ::WaitForSingleObject(m_pi.hProcess, TimeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD nExitCode = 0;
    ::GetExitCodeProcess(m_pi.hProcess, &nExitCode);
    return static_cast<long>(nExitCode);
}

}  // namespace driver
