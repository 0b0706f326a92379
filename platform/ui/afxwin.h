// A small application framework over the window-system API: the application
// object, windows and dialogs with static message tables, dialog data
// exchange, the spin-button control and message boxes.
//
// Each class is a thin wrapper: one-line members that send the message the
// window system defines, one static dialog procedure that forwards every
// message to the dialog's message table.
#pragma once

#include "platform/ui/winapi.h"

#include <cstdint>

class CCmdTarget;
class CWnd;
class CDialog;
class CWinApp;

// ---------------------------------------------------------------------------
// Message tables
//
// A table is an array of rows (message, notification code, control
// identifier, member function), ended by an empty row, plus a link to the
// base class's table. Rows are searched in order, the derived class first.

struct AFX_MSGARGS
{
    UINT nMessage;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT lResult;   // the handler's result, where the message has one
};

typedef void (*AFX_PTHUNK)(CCmdTarget* pTarget, AFX_MSGARGS& args);

struct AFX_MSGMAP_ENTRY
{
    UINT nMessage;               // window message, or 0xC000 for a registered one
    UINT nCode;                  // notification code (WM_COMMAND, WM_NOTIFY)
    UINT nID;                    // control or command identifier
    const UINT* pnRegistered;    // registered messages: the variable holding the identifier
    AFX_PTHUNK pfn;              // calls the member function
};

struct AFX_MSGMAP
{
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// Marks a registered message row (the identifier is read through pnRegistered).
constexpr UINT AFX_REGISTERED_MESSAGE = 0xC000;

namespace afx {

// Calls a member function of the signature a row declares.
template <class T, auto Pmf>
void OnVoid(CCmdTarget* p, AFX_MSGARGS&)
{
    (static_cast<T*>(p)->*Pmf)();
}

template <class T, auto Pmf>
void OnHandle(CCmdTarget* p, AFX_MSGARGS& args)
{
    args.lResult = reinterpret_cast<LRESULT>((static_cast<T*>(p)->*Pmf)());
}

template <class T, auto Pmf>
void OnNotify(CCmdTarget* p, AFX_MSGARGS& args)
{
    (static_cast<T*>(p)->*Pmf)(reinterpret_cast<NMHDR*>(args.lParam), &args.lResult);
}

template <class T, auto Pmf>
void OnMessage(CCmdTarget* p, AFX_MSGARGS& args)
{
    args.lResult = (static_cast<T*>(p)->*Pmf)(args.wParam, args.lParam);
}

}  // namespace afx

#define DECLARE_MESSAGE_MAP()                                   \
protected:                                                      \
    static const AFX_MSGMAP* GetThisMessageMap();               \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                              \
    const AFX_MSGMAP* theClass::GetMessageMap() const                       \
    {                                                                       \
        return GetThisMessageMap();                                         \
    }                                                                       \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                         \
    {                                                                       \
        typedef theClass ThisClass;                                         \
        typedef baseClass TheBaseClass;                                     \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                   \
            {0, 0, 0, nullptr, nullptr}                                     \
        };                                                                  \
        static const AFX_MSGMAP messageMap = {                              \
            &TheBaseClass::GetThisMessageMap, &_messageEntries[0]};         \
        return &messageMap;                                                 \
    }

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, 0, (UINT)(id), nullptr, &afx::OnVoid<ThisClass, &memberFxn>},
#define ON_BN_CLICKED(id, memberFxn) \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), nullptr, &afx::OnVoid<ThisClass, &memberFxn>},
#define ON_NOTIFY(code, id, memberFxn) \
    {WM_NOTIFY, (UINT)(code), (UINT)(id), nullptr, &afx::OnNotify<ThisClass, &memberFxn>},
#define ON_MESSAGE(message, memberFxn) \
    {(UINT)(message), 0, 0, nullptr, &afx::OnMessage<ThisClass, &memberFxn>},
#define ON_REGISTERED_MESSAGE(nMessageVariable, memberFxn) \
    {AFX_REGISTERED_MESSAGE, 0, 0, &(nMessageVariable), &afx::OnMessage<ThisClass, &memberFxn>},
#define ON_WM_PAINT() \
    {WM_PAINT, 0, 0, nullptr, &afx::OnVoid<ThisClass, &ThisClass::OnPaint>},
#define ON_WM_QUERYDRAGICON() \
    {WM_QUERYDRAGICON, 0, 0, nullptr, &afx::OnHandle<ThisClass, &ThisClass::OnQueryDragIcon>},

// The framework's standard command identifiers.
#define ID_HELP 0xE146

// ---------------------------------------------------------------------------

class CCmdTarget
{
public:
    CCmdTarget() = default;
    virtual ~CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

    // Finds the row for a message in this object's tables and calls it.
    // Returns false when no row matches, or when the handler asked for the
    // default handling (CWnd::Default).
    bool OnWndMsg(UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    bool m_bDefaultRequested = false;
};

// A small string with printf-style formatting.
class CString
{
public:
    CString() = default;
    CString(const char* psz);
    CString(const CString& other);
    CString& operator=(const CString& other);
    ~CString();

    void Format(const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    operator const char*() const { return m_psz ? m_psz : ""; }
    int GetLength() const;

private:
    char* m_psz = nullptr;
};

// ---------------------------------------------------------------------------

class CWnd : public CCmdTarget
{
public:
    CWnd() = default;
    ~CWnd() override = default;

    HWND m_hWnd = nullptr;

    operator HWND() const { return m_hWnd; }

    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach() { HWND h = m_hWnd; m_hWnd = nullptr; return h; }

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    { return ::SendMessageA(m_hWnd, message, wParam, lParam); }
    // Posts to this window. Posts in the dialog manager's range of
    // WM_USER+0..+2 are remembered (see CDialog::OnDialogMessage).
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    { return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon))); }
    void SetWindowText(const char* lpszString) { ::SetWindowTextA(m_hWnd, lpszString); }

    virtual BOOL DestroyWindow();

    // Data exchange between the members and the controls: FALSE shows the
    // members, TRUE reads the controls back.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    virtual void DoDataExchange(class CDataExchange* pDX);

    // Asks for the window system's default handling of the current message.
    void Default() { m_bDefaultRequested = true; }

    // The modal loop; each back end provides it.
    int RunModalLoop();
    void EndModalLoop(int nResult);

    bool m_bContinueModal = false;
    int m_nModalResult = -1;

    // Messages numbered WM_USER+0..+2 that this window posted to itself and
    // has not handled yet. The dialog manager uses the same numbers for
    // DM_GETDEFID, DM_SETDEFID and DM_REPOSITION, sent to the dialog.
    // Each distinct (message, wParam, lParam) is counted, so a burst of
    // posts waiting at once is never forgotten.
    struct OwnPost
    {
        UINT nMessage;
        WPARAM wParam;
        LPARAM lParam;
        unsigned long nWaiting;
    };
    static constexpr int MaxOwnPostKinds = 8;
    mutable OwnPost m_ownPosts[MaxOwnPostKinds] = {};
    // Removes one matching own post; false if there is none.
    bool TakeOwnPost(UINT nMessage, WPARAM wParam, LPARAM lParam);
};

// The painting context of a window: BeginPaint and EndPaint.
class CPaintDC
{
public:
    explicit CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }
    ~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
    HDC m_hDC = nullptr;
};

// ---------------------------------------------------------------------------

class CDataExchange
{
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate;   // TRUE: controls to members
    CWnd* m_pDlgWnd;
};

// Unsigned decimal text.
void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value);
// Binds a control member to its control, once.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

// ---------------------------------------------------------------------------

// The up-down control ("msctls_updown32").
class CSpinButtonCtrl : public CWnd
{
public:
    // UDM_SETRANGE: the upper bound in the low word, the lower in the high word.
    void SetRange(short nLower, short nUpper)
    { SendMessage(UDM_SETRANGE, 0, MAKELPARAM(nUpper, nLower)); }
    // UDM_SETPOS: the position in the low word.
    int SetPos(int nPos)
    { return static_cast<short>(LOWORD(SendMessage(UDM_SETPOS, 0, MAKELPARAM(nPos, 0)))); }
    // UDM_GETPOS: the position in the low word (the high word flags errors).
    int GetPos() const
    { return static_cast<int>(SendMessage(UDM_GETPOS, 0, 0)); }
};

// ---------------------------------------------------------------------------

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Creates the window, runs it until OK or Cancel, then destroys it
    // through DestroyWindow. Returns IDOK or IDCANCEL (-1 if the window
    // could not be created).
    virtual INT_PTR DoModal();

    virtual BOOL OnInitDialog();
    void EndDialog(int nResult);

protected:
    virtual void OnOK();
    virtual void OnCancel();
    LRESULT OnHelpMessage(WPARAM wParam, LPARAM lParam);

    // The one dialog procedure: forwards every message to the message table.
    static INT_PTR CALLBACK DialogProcedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    virtual INT_PTR OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

private:
    // The next outer dialog in DoModal whose window has not begun to go.
    CDialog* m_pOuterModal = nullptr;
    friend void AfxDestroyModalDialogs();

    DECLARE_MESSAGE_MAP()
};

// Destroys, through DestroyWindow as DoModal does on its way out, every
// dialog whose modal run has begun and whose window has not begun to go, the
// innermost first. For a process that ends from inside a modal run and will
// not return to DoModal (a back end's exit hook); each dialog goes once.
void AfxDestroyModalDialogs();

// ---------------------------------------------------------------------------

class CWinApp : public CCmdTarget
{
public:
    // pszAppName null: the name is the executable's file name.
    explicit CWinApp(const char* pszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();

    HICON LoadIcon(UINT nIDResource) const;

    const char* m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;

    // The framework's default help: there is no help file, so it shows nothing.
    void OnHelp();

    // Takes the name from the executable's file name when none was given.
    void InitAppName();

private:
    char m_szExeName[260] = {};
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
const char* AfxGetAppName();

// A modal box with an OK button (nType 0), owned by the active dialog and
// captioned with the application's name; without an icon type it shows the
// exclamation icon.
int AfxMessageBox(const char* lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// What a back end adds when a dialog has been built (its controls exist,
// before WM_INITDIALOG reaches the dialog) and when it goes (WM_DESTROY):
// the Win32 back end names the controls for assistive technology there; the
// Qt dialog manager does that as it builds the dialog.
void AfxDialogBuilt(HWND hDlg);
void AfxDialogGoing(HWND hDlg);

// The framework's entry: runs InitInstance of the one application object and,
// if it returns TRUE, the message loop.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, char* lpCmdLine, int nCmdShow);
