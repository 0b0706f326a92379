// Linked into the test build of the tool: when TAVRIK_ACC_TRACE names a file,
// every dynamic-annotation call the tool makes (IAccPropServices::
// SetHwndPropStr and ClearHwndProps) is appended to it as
//   "SetHwndPropStr <control id> <object id> <child id> <name|other> <text> <hr>"
//   "ClearHwndProps <control id> <object id> <child id> <name|other> <hr>"
// with the system's own answer. The calls go through the system's object as
// always; its method table is patched in place to record them first. With
// TAVRIK_ACC_SUCCEED set, SetHwndPropStr answers S_OK without being made, as a
// system that takes annotations would (Wine answers E_NOTIMPL).
#include "platform/ui/win32/acc_ids.h"

#include <windows.h>

#include <objbase.h>
#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using afxwin32::ClsidAccPropServices;
using afxwin32::IidAccPropServices;
using afxwin32::PropIdAccName;

// Slots in the interface's method table, after IUnknown's three.
constexpr int SlotSetHwndPropStr = 7;
constexpr int SlotClearHwndProps = 9;

using SetHwndPropStrFn = HRESULT(WINAPI*)(IAccPropServices*, HWND, DWORD, DWORD, MSAAPROPID, LPCWSTR);
using ClearHwndPropsFn = HRESULT(WINAPI*)(IAccPropServices*, HWND, DWORD, DWORD, const MSAAPROPID*, int);

const char* g_pszTraceFile = nullptr;
bool g_bSucceed = false;
SetHwndPropStrFn g_pfnSetHwndPropStr = nullptr;
ClearHwndPropsFn g_pfnClearHwndProps = nullptr;

void Append(const std::string& line)
{
    if (std::FILE* file = std::fopen(g_pszTraceFile, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

std::string Utf8(LPCWSTR psz)
{
    if (psz == nullptr)
        return "(null)";
    char sz[512] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, psz, -1, sz, sizeof sz - 1, nullptr, nullptr);
    return sz;
}

std::string Common(HWND hwnd, DWORD idObject, DWORD idChild, const MSAAPROPID& idProp)
{
    char sz[128];
    std::snprintf(sz, sizeof sz, "%d %ld %lu %s", ::GetDlgCtrlID(hwnd), static_cast<long>(idObject),
                  static_cast<unsigned long>(idChild), IsEqualGUID(idProp, PropIdAccName) ? "name" : "other");
    return sz;
}

std::string Hr(HRESULT hr)
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%08lx", static_cast<unsigned long>(hr));
    return sz;
}

HRESULT WINAPI TracedSetHwndPropStr(IAccPropServices* self, HWND hwnd, DWORD idObject, DWORD idChild,
                                    MSAAPROPID idProp, LPCWSTR str)
{
    const HRESULT hr = g_bSucceed ? S_OK : g_pfnSetHwndPropStr(self, hwnd, idObject, idChild, idProp, str);
    Append("SetHwndPropStr " + Common(hwnd, idObject, idChild, idProp) + " " + Utf8(str) + " " + Hr(hr));
    return hr;
}

HRESULT WINAPI TracedClearHwndProps(IAccPropServices* self, HWND hwnd, DWORD idObject, DWORD idChild,
                                    const MSAAPROPID* paProps, int cProps)
{
    const HRESULT hr = g_pfnClearHwndProps(self, hwnd, idObject, idChild, paProps, cProps);
    Append("ClearHwndProps " + Common(hwnd, idObject, idChild, cProps == 1 ? paProps[0] : GUID{}) + " "
           + std::to_string(cProps) + " " + Hr(hr));
    return hr;
}

template <class Fn>
Fn Patch(void** vtable, int slot, Fn replacement)
{
    DWORD oldProtect = 0;
    if (!::VirtualProtect(&vtable[slot], sizeof(void*), PAGE_READWRITE, &oldProtect))
        return nullptr;
    Fn original = reinterpret_cast<Fn>(vtable[slot]);
    vtable[slot] = reinterpret_cast<void*>(replacement);
    ::VirtualProtect(&vtable[slot], sizeof(void*), oldProtect, &oldProtect);
    return original;
}

// Installed during static initialisation, before the tool's first dialog.
const bool g_bInstalled = [] {
    g_pszTraceFile = std::getenv("TAVRIK_ACC_TRACE");
    if (g_pszTraceFile == nullptr || *g_pszTraceFile == '\0')
        return false;
    g_bSucceed = std::getenv("TAVRIK_ACC_SUCCEED") != nullptr;
    // The library stays loaded, so the patched table stays the one in use.
    ::LoadLibraryW(L"oleacc.dll");
    const HRESULT hrInit = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IAccPropServices* pServices = nullptr;
    bool bPatched = false;
    if (SUCCEEDED(::CoCreateInstance(ClsidAccPropServices, nullptr, CLSCTX_INPROC_SERVER, IidAccPropServices,
                                     reinterpret_cast<void**>(&pServices)))) {
        void** vtable = *reinterpret_cast<void***>(pServices);
        g_pfnSetHwndPropStr = Patch(vtable, SlotSetHwndPropStr, &TracedSetHwndPropStr);
        g_pfnClearHwndProps = Patch(vtable, SlotClearHwndProps, &TracedClearHwndProps);
        bPatched = g_pfnSetHwndPropStr != nullptr && g_pfnClearHwndProps != nullptr;
        pServices->Release();
    }
    if (SUCCEEDED(hrInit))
        ::CoUninitialize();
    Append(bPatched ? "trace ready" : "trace failed");
    return bPatched;
}();

}  // namespace
