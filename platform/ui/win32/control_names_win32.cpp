#include "platform/ui/win32/control_names_win32.h"

#include "platform/ui/control_names.h"
#include "platform/ui/win32/acc_ids.h"

#include <commctrl.h>
#include <objbase.h>
#include <oleacc.h>

#include <cstdlib>

namespace afxwin32 {
namespace {

// The controls a dialog has named, until it goes, for the few dialogs open
// at once (a modal dialog and what it opens).
constexpr int MaxDialogs = 8;
constexpr int MaxControls = 64;

struct Annotated
{
    HWND hDlg;
    bool bComStarted;   // COM was started for the names, and stays up until they go
    int nControls;
    HWND controls[MaxControls];
};
Annotated g_annotated[MaxDialogs];

// What the naming rule needs of one child window.
struct Child
{
    HWND hWnd;
    char szText[afx::MaxControlName];
};

afx::NamedControl::Kind KindOf(HWND hWnd)
{
    using K = afx::NamedControl::Kind;
    wchar_t szClass[64] = {};
    ::GetClassNameW(hWnd, szClass, 64);
    const LONG style = ::GetWindowLongW(hWnd, GWL_STYLE);
    if (::lstrcmpiW(szClass, L"Button") == 0)
        return K::Button;
    if (::lstrcmpiW(szClass, L"Edit") == 0)
        return K::Edit;
    if (::lstrcmpiW(szClass, UPDOWN_CLASSW) == 0)
        return K::UpDown;
    if (::lstrcmpiW(szClass, L"Static") == 0)
        return afx::StaticKind(static_cast<unsigned long>(style));
    return K::Other;
}

IAccPropServices* CreatePropServices()
{
    IAccPropServices* pServices = nullptr;
    if (FAILED(::CoCreateInstance(ClsidAccPropServices, nullptr, CLSCTX_INPROC_SERVER, IidAccPropServices,
                                  reinterpret_cast<void**>(&pServices))))
        return nullptr;
    return pServices;
}

// The names of the dialog's controls into pAnnotated; false if it names none.
bool Annotate(HWND hDlg, int nChildren, Child* children, afx::NamedControl* controls, afx::ControlName* names,
              Annotated* pAnnotated)
{
    // The children in creation order, which is template order, with their
    // positions in the dialog's client area.
    int n = 0;
    for (HWND hChild = ::GetWindow(hDlg, GW_CHILD); hChild != nullptr && n < nChildren;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT), ++n) {
        children[n].hWnd = hChild;
        wchar_t szText[afx::MaxControlName] = {};
        const int cch = ::GetWindowTextW(hChild, szText, afx::MaxControlName);
        const int cb = ::WideCharToMultiByte(CP_UTF8, 0, szText, cch, children[n].szText,
                                             afx::MaxControlName - 1, nullptr, nullptr);
        children[n].szText[cb > 0 ? cb : 0] = '\0';
        RECT rc{};
        ::GetWindowRect(hChild, &rc);
        ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&rc), 2);
        controls[n].kind = KindOf(hChild);
        controls[n].x = rc.left;
        controls[n].y = rc.top;
        controls[n].cx = rc.right - rc.left;
        controls[n].cy = rc.bottom - rc.top;
        controls[n].text = children[n].szText;
    }
    afx::NameControls(controls, n, names);

    IAccPropServices* pServices = CreatePropServices();
    if (pServices == nullptr)
        return false;
    for (int i = 0; i < n; ++i) {
        if (names[i].label < 0 || names[i].name[0] == '\0')
            continue;
        wchar_t szName[afx::MaxControlName] = {};
        if (::MultiByteToWideChar(CP_UTF8, 0, names[i].name, -1, szName, afx::MaxControlName) <= 0)
            continue;
        // A failed call leaves the control as it was, named by the system.
        if (SUCCEEDED(pServices->SetHwndPropStr(children[i].hWnd, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                                PropIdAccName, szName))
            && pAnnotated->nControls < MaxControls)
            pAnnotated->controls[pAnnotated->nControls++] = children[i].hWnd;
    }
    pServices->Release();
    return pAnnotated->nControls > 0;
}

}  // namespace

void AnnotateControlNames(HWND hDlg)
{
    Annotated* pSlot = nullptr;
    for (Annotated& a : g_annotated) {
        if (a.hDlg == nullptr) {
            pSlot = &a;
            break;
        }
    }
    if (pSlot == nullptr)
        return;

    int nChildren = 0;
    for (HWND hChild = ::GetWindow(hDlg, GW_CHILD); hChild != nullptr; hChild = ::GetWindow(hChild, GW_HWNDNEXT))
        ++nChildren;
    if (nChildren == 0)
        return;
    auto* children = static_cast<Child*>(std::calloc(static_cast<std::size_t>(nChildren), sizeof(Child)));
    auto* controls = static_cast<afx::NamedControl*>(std::calloc(static_cast<std::size_t>(nChildren), sizeof(afx::NamedControl)));
    auto* names = static_cast<afx::ControlName*>(std::calloc(static_cast<std::size_t>(nChildren), sizeof(afx::ControlName)));
    if (children != nullptr && controls != nullptr && names != nullptr) {
        const HRESULT hrInit = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        Annotated annotated{};
        annotated.hDlg = hDlg;
        annotated.bComStarted = SUCCEEDED(hrInit);
        if (Annotate(hDlg, nChildren, children, controls, names, &annotated))
            *pSlot = annotated;
        else if (SUCCEEDED(hrInit))
            ::CoUninitialize();
    }
    std::free(names);
    std::free(controls);
    std::free(children);
}

void ClearControlNames(HWND hDlg)
{
    for (Annotated& a : g_annotated) {
        if (a.hDlg != hDlg || hDlg == nullptr)
            continue;
        if (IAccPropServices* pServices = CreatePropServices()) {
            for (int i = 0; i < a.nControls; ++i)
                pServices->ClearHwndProps(a.controls[i], static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                          &PropIdAccName, 1);
            pServices->Release();
        }
        if (a.bComStarted)
            ::CoUninitialize();
        a = Annotated{};
        return;
    }
}

}  // namespace afxwin32

void AfxDialogBuilt(HWND hDlg)
{
    afxwin32::AnnotateControlNames(hDlg);
}

void AfxDialogGoing(HWND hDlg)
{
    afxwin32::ClearControlNames(hDlg);
}
