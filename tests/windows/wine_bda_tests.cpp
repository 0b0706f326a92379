// tavrik.exe and tavrik-check.exe, the tool on a real card through BDA,
// under Wine: the ways opening fails there, for real. Wine has none of
// Windows' TV classes and no tuner; fake_tuner.dll, registered in the
// network-tuner category, stands in for a tuner so the graph gets as far as
// those classes (and, in tavrik-check.exe, which goes on after a failure,
// as far as the tuner's Run).
#include "res/resource.h"
#include "tests/windows/dialog_driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using driver::Session;

namespace {

// fake_tuner.dll beside the test, registered for one test and unregistered
// after it (also after a failure), so the category is empty otherwise.
class FakeTuner
{
public:
    explicit FakeTuner(const char* pszMode = "")
    {
        ::SetEnvironmentVariableA("TAVRIK_FAKE_TUNER", pszMode);
        m_hDll = ::LoadLibraryA("fake_tuner.dll");
        if (m_hDll != nullptr)
            m_hrRegister = Call("DllRegisterServer");
    }
    ~FakeTuner()
    {
        if (m_hDll != nullptr) {
            Call("DllUnregisterServer");
            ::FreeLibrary(m_hDll);
        }
        ::SetEnvironmentVariableA("TAVRIK_FAKE_TUNER", nullptr);
    }
    HRESULT Registered() const { return m_hDll == nullptr ? E_FAIL : m_hrRegister; }

    static void Remove()
    {
        HMODULE hDll = ::LoadLibraryA("fake_tuner.dll");
        if (hDll != nullptr) {
            Call(hDll, "DllUnregisterServer");
            ::FreeLibrary(hDll);
        }
    }

private:
    HRESULT Call(const char* pszName) const { return Call(m_hDll, pszName); }
    static HRESULT Call(HMODULE hDll, const char* pszName)
    {
        auto pfn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(::GetProcAddress(hDll, pszName)));
        return pfn != nullptr ? pfn() : E_NOTIMPL;
    }

    HMODULE m_hDll = nullptr;
    HRESULT m_hrRegister = E_FAIL;
};

// COM for the registration calls, once for the test program.
struct Com
{
    Com() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Com() { ::CoUninitialize(); }
};

std::string ModuleFolder()
{
    char szPath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string path = szPath;
    return path.substr(0, path.find_last_of("\\/") + 1);
}

// Runs tavrik-check.exe and returns its exit code and what it printed.
long RunCheck(std::string& output)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    if (!::CreatePipe(&hRead, &hWrite, &sa, 0))
        return -1;
    ::SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hWrite;
    si.hStdError = hWrite;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string commandLine = "\"" + ModuleFolder() + "tavrik-check.exe\"";
    const BOOL bStarted =
        ::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(hWrite);
    if (!bStarted) {
        ::CloseHandle(hRead);
        return -1;
    }
    char buffer[4096];
    DWORD nRead = 0;
    while (::ReadFile(hRead, buffer, sizeof buffer, &nRead, nullptr) && nRead > 0) {
        for (DWORD i = 0; i < nRead; ++i) {
            if (buffer[i] != '\r')   // the C runtime's text mode
                output += buffer[i];
        }
    }
    ::CloseHandle(hRead);
    // What a person with a card would send in, in the test's log.
    std::printf("%s", output.c_str());
    DWORD nExitCode = 0;
    ::WaitForSingleObject(pi.hProcess, 60000);
    ::GetExitCodeProcess(pi.hProcess, &nExitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return static_cast<long>(nExitCode);
}

// tavrik.exe comes up with the open error's box; once it is answered, the
// dialog shows zeros (nothing could be read), and OK ends the tool cleanly.
void ExpectBoxZerosAndCleanClose(const std::string& expectedBox)
{
    Session s("tavrik.exe");
    HWND hBox = s.WaitForMessageBox();
    ASSERT_NE(hBox, nullptr);
    EXPECT_EQ(Session::MessageBoxText(hBox), expectedBox);
    ::PostMessageW(::GetDlgItem(hBox, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(s.WaitForDialog());
    EXPECT_EQ(Session::WindowText(s.Dialog()), "Tavrik f\xc3\xbcr Siemens-DVB v1.0");
    for (int nID : {IDC_EDIT_VIDEO_PID, IDC_EDIT_AUDIO_PID, IDC_EDIT_FREQUENCY, IDC_EDIT_SYMBOL_RATE})
        EXPECT_EQ(s.Text(nID), "0") << "control " << nID;
    // A frequency step on a board that is not open changes nothing and
    // brings no box.
    s.ClickSpin(IDC_SPIN_FREQUENCY, true);
    s.Settle();
    EXPECT_EQ(s.Text(IDC_EDIT_SYMBOL_RATE), "0");
    s.Click(IDOK);
    EXPECT_EQ(s.WaitForExit(), 0);
}

}  // namespace

TEST(WineBda, NoTunerSaysSoAndShowsZeros)
{
    Com com;
    FakeTuner::Remove();
    ExpectBoxZerosAndCleanClose("Error on DVB_OpenBoard: 2");

    std::string output;
    EXPECT_EQ(RunCheck(output), 2) << output;
    EXPECT_NE(output.find("step network tuner category   0x00000001"), std::string::npos) << output;
    EXPECT_NE(output.find("DVB_OpenBoard code: 2\n"), std::string::npos) << output;
}

TEST(WineBda, AFoundTunerWithoutTheTvClassesSaysTheComponentsAreMissing)
{
    Com com;
    FakeTuner tuner;
    ASSERT_EQ(tuner.Registered(), S_OK);
    ExpectBoxZerosAndCleanClose("Error on DVB_OpenBoard: 4101");

    std::string output;
    EXPECT_EQ(RunCheck(output), 4101) << output;
    EXPECT_NE(output.find("step network tuner category   0x00000000"), std::string::npos) << output;
    EXPECT_NE(output.find("step network provider         0x80040154"), std::string::npos) << output;
    EXPECT_NE(output.find("step DVB-C tuning space       0x80040154"), std::string::npos) << output;
    // Going on without them, the fake tuner is added and the graph runs.
    EXPECT_NE(output.find("step tuner connected          0x00000000 S_OK [Tavrik test tuner]"), std::string::npos)
        << output;
    EXPECT_NE(output.find("step run                      0x00000000"), std::string::npos) << output;
}

TEST(WineBda, ABusyTunerRefusesToRun)
{
    Com com;
    FakeTuner tuner("busy");
    ASSERT_EQ(tuner.Registered(), S_OK);
    // tavrik.exe stops at the missing TV classes before any Run; the check
    // goes on and shows the tuner's own answer.
    std::string output;
    EXPECT_EQ(RunCheck(output), 4101) << output;
    EXPECT_NE(output.find("step run                      0x800700AA ERROR_BUSY"), std::string::npos) << output;
}
