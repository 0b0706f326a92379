#include "platform/ui/afxwin.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CWinApp* g_pApp = nullptr;

// The dialog whose modal run is innermost; message boxes belong to it.
CDialog* g_pActiveDialog = nullptr;

// The dialogs in DoModal whose windows have not begun to go, the innermost
// first (through CDialog::m_pOuterModal).
CDialog* g_pModalDialogs = nullptr;

// The dialog manager's messages: DM_GETDEFID, DM_SETDEFID, DM_REPOSITION.
bool IsDialogManagerMessage(UINT nMessage)
{
    return nMessage >= WM_USER && nMessage <= WM_USER + 2;
}

bool RowMatches(const AFX_MSGMAP_ENTRY& row, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (row.pnRegistered != nullptr)
        return nMessage >= AFX_REGISTERED_MESSAGE && *row.pnRegistered == nMessage;
    if (row.nMessage != nMessage)
        return false;
    switch (nMessage) {
    case WM_COMMAND:
        return row.nCode == HIWORD(wParam) && row.nID == LOWORD(wParam);
    case WM_NOTIFY: {
        const NMHDR* pNMHDR = reinterpret_cast<const NMHDR*>(lParam);
        return pNMHDR != nullptr && row.nCode == pNMHDR->code && row.nID == pNMHDR->idFrom;
    }
    default:
        return true;
    }
}

}  // namespace

// --- CCmdTarget -------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr, nullptr}};
    static const AFX_MSGMAP messageMap = {nullptr, &entries[0]};
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

bool CCmdTarget::OnWndMsg(UINT nMessage, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    for (const AFX_MSGMAP* pMap = GetMessageMap(); pMap != nullptr;
         pMap = pMap->pfnGetBaseMap ? pMap->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* pRow = pMap->lpEntries; pRow->pfn != nullptr; ++pRow) {
            if (!RowMatches(*pRow, nMessage, wParam, lParam))
                continue;
            AFX_MSGARGS args{nMessage, wParam, lParam, 0};
            const bool bOuterDefault = m_bDefaultRequested;
            m_bDefaultRequested = false;
            pRow->pfn(this, args);
            const bool bHandled = !m_bDefaultRequested;
            m_bDefaultRequested = bOuterDefault;
            if (pResult != nullptr)
                *pResult = args.lResult;
            return bHandled;
        }
    }
    return false;
}

// --- CString ----------------------------------------------------------------

CString::CString(const char* psz)
{
    if (psz != nullptr) {
        const std::size_t n = std::strlen(psz) + 1;
        m_psz = static_cast<char*>(std::malloc(n));
        if (m_psz != nullptr)
            std::memcpy(m_psz, psz, n);
    }
}

CString::CString(const CString& other) : CString(other.m_psz) {}

CString& CString::operator=(const CString& other)
{
    if (this != &other) {
        CString copy(other);
        std::free(m_psz);
        m_psz = copy.m_psz;
        copy.m_psz = nullptr;
    }
    return *this;
}

CString::~CString()
{
    std::free(m_psz);
}

void CString::Format(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int n = std::vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    char* psz = n >= 0 ? static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1)) : nullptr;
    if (psz != nullptr)
        std::vsnprintf(psz, static_cast<std::size_t>(n) + 1, pszFormat, argsCopy);
    va_end(argsCopy);
    std::free(m_psz);
    m_psz = psz;
}

int CString::GetLength() const
{
    return m_psz ? static_cast<int>(std::strlen(m_psz)) : 0;
}

// --- CWnd ---------------------------------------------------------------------

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    if (!IsDialogManagerMessage(message))
        return ::PostMessageA(m_hWnd, message, wParam, lParam);

    // Find the post's kind, or a free slot for it, before posting: a post
    // that could not be told from the dialog manager's is not made.
    OwnPost* pSlot = nullptr;
    for (OwnPost& post : m_ownPosts) {
        if (post.nWaiting != 0 && post.nMessage == message && post.wParam == wParam && post.lParam == lParam) {
            pSlot = &post;
            break;
        }
        if (post.nWaiting == 0 && pSlot == nullptr)
            pSlot = &post;
    }
    if (pSlot == nullptr || !::PostMessageA(m_hWnd, message, wParam, lParam))
        return FALSE;
    if (pSlot->nWaiting++ == 0) {
        pSlot->nMessage = message;
        pSlot->wParam = wParam;
        pSlot->lParam = lParam;
    }
    return TRUE;
}

bool CWnd::TakeOwnPost(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    for (OwnPost& post : m_ownPosts) {
        if (post.nWaiting != 0 && post.nMessage == nMessage && post.wParam == wParam && post.lParam == lParam) {
            --post.nWaiting;
            return true;
        }
    }
    return false;
}

BOOL CWnd::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return FALSE;
    const BOOL bResult = ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return bResult;
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

// --- Data exchange ------------------------------------------------------------

void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value)
{
    HWND hDlg = pDX->m_pDlgWnd->m_hWnd;
    if (pDX->m_bSaveAndValidate) {
        char szText[32] = {};
        ::GetDlgItemTextA(hDlg, nIDC, szText, static_cast<int>(sizeof szText));
        // Only unsigned decimal text is taken; anything else leaves the member.
        char* pEnd = nullptr;
        if (szText[0] >= '0' && szText[0] <= '9') {
            const unsigned long long n = std::strtoull(szText, &pEnd, 10);
            if (*pEnd == '\0' && n <= 0xFFFFFFFFull)
                value = static_cast<UINT>(n);
        }
    } else {
        char szText[16];
        std::snprintf(szText, sizeof szText, "%u", value);
        ::SetDlgItemTextA(hDlg, nIDC, szText);
    }
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd == nullptr)
        rControl.Attach(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC));
}

// --- CDialog ------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, CDialog::OnOK)
    ON_COMMAND(IDCANCEL, CDialog::OnCancel)
    ON_MESSAGE(WM_HELP, CDialog::OnHelpMessage)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

INT_PTR CDialog::DoModal()
{
    HWND hWndParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    CDialog* pOuterDialog = g_pActiveDialog;
    g_pActiveDialog = this;

    m_nModalResult = -1;
    m_bContinueModal = true;
    m_pOuterModal = g_pModalDialogs;
    g_pModalDialogs = this;
    HWND hWnd = ::CreateDialogParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_nIDTemplate),
                                     hWndParent, &CDialog::DialogProcedure,
                                     reinterpret_cast<LPARAM>(this));
    if (hWnd != nullptr) {
        if (hWndParent != nullptr)
            ::EnableWindow(hWndParent, FALSE);
        if (m_bContinueModal)
            RunModalLoop();
        if (hWndParent != nullptr)
            ::EnableWindow(hWndParent, TRUE);
    }
    for (CDialog** ppLink = &g_pModalDialogs; *ppLink != nullptr; ppLink = &(*ppLink)->m_pOuterModal) {
        if (*ppLink == this) {
            *ppLink = m_pOuterModal;
            break;
        }
    }
    if (hWnd != nullptr)
        DestroyWindow();

    g_pActiveDialog = pOuterDialog;
    return m_nModalResult;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    EndModalLoop(nResult);
}

void AfxDestroyModalDialogs()
{
    while (CDialog* pDialog = g_pModalDialogs) {
        g_pModalDialogs = pDialog->m_pOuterModal;
        // A window not made yet has nothing to close.
        if (pDialog->m_hWnd != nullptr)
            pDialog->DestroyWindow();
    }
}

void CDialog::OnOK()
{
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

LRESULT CDialog::OnHelpMessage(WPARAM, LPARAM)
{
    // F1: the standard Help command, which the application handles.
    SendMessage(WM_COMMAND, ID_HELP, 0);
    return TRUE;
}

INT_PTR CALLBACK CDialog::DialogProcedure(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDialog;
    if (message == WM_INITDIALOG) {
        pDialog = reinterpret_cast<CDialog*>(lParam);
        pDialog->m_hWnd = hWnd;
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, lParam);
        AfxDialogBuilt(hWnd);
    } else {
        if (message == WM_DESTROY)
            AfxDialogGoing(hWnd);
        pDialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    }
    if (pDialog == nullptr)
        return FALSE;
    return pDialog->OnDialogMessage(message, wParam, lParam);
}

INT_PTR CDialog::OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return OnInitDialog();

    // WM_USER+0..+2 is the dialog's own private message only when the dialog
    // posted it to itself. Otherwise it is the dialog manager's DM_GETDEFID,
    // DM_SETDEFID or DM_REPOSITION (sent by the dialog manager on Enter, or
    // by anyone else), and gets the default handling: the default button
    // keeps working, and no handler of a private message runs unasked.
    if (IsDialogManagerMessage(message) && !TakeOwnPost(message, wParam, lParam))
        return FALSE;

    LRESULT lResult = 0;
    bool bHandled = OnWndMsg(message, wParam, lParam, &lResult);
    // Commands nobody in the dialog handles go to the application.
    if (!bHandled && message == WM_COMMAND && HIWORD(wParam) == 0 && LOWORD(wParam) < 0xF000
        && AfxGetApp() != nullptr)
        bHandled = AfxGetApp()->OnWndMsg(message, wParam, lParam, &lResult);
    if (!bHandled)
        return FALSE;

    switch (message) {
    case WM_QUERYDRAGICON:
        // The dialog procedure returns these results directly.
        return static_cast<INT_PTR>(lResult);
    default:
        ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
}

// --- CWinApp ------------------------------------------------------------------

CWinApp::CWinApp(const char* pszAppName) : m_pszAppName(pszAppName)
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::Run()
{
    // No window of its own stays up after InitInstance here: nothing to run.
    return ExitInstance();
}

int CWinApp::ExitInstance()
{
    return 0;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(nIDResource));
}

void CWinApp::OnHelp()
{
}

void CWinApp::InitAppName()
{
    if (m_pszAppName != nullptr)
        return;
    char szPath[sizeof m_szExeName] = {};
    ::GetModuleFileNameA(m_hInstance, szPath, static_cast<DWORD>(sizeof szPath - 1));
    const char* pszName = szPath;
    for (const char* p = szPath; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            pszName = p + 1;
    }
    std::snprintf(m_szExeName, sizeof m_szExeName, "%s", pszName);
    // Windows names end in ".exe"; the application's name goes without it.
    char* pszDot = std::strrchr(m_szExeName, '.');
    if (pszDot != nullptr && pszDot != m_szExeName)
        *pszDot = '\0';
    m_pszAppName = m_szExeName;
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

HINSTANCE AfxGetInstanceHandle()
{
    return g_pApp ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

const char* AfxGetAppName()
{
    return g_pApp && g_pApp->m_pszAppName ? g_pApp->m_pszAppName : "";
}

int AfxMessageBox(const char* lpszText, UINT nType, UINT /*nIDHelp*/)
{
    if ((nType & MB_ICONMASK) == 0) {
        switch (nType & MB_TYPEMASK) {
        case MB_OK:
        case MB_OKCANCEL:
            nType |= MB_ICONEXCLAMATION;
            break;
        default:
            break;
        }
    }
    HWND hWndOwner = g_pActiveDialog ? g_pActiveDialog->m_hWnd : nullptr;
    return ::MessageBoxA(hWndOwner, lpszText, AfxGetAppName(), nType);
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, char* /*lpCmdLine*/, int /*nCmdShow*/)
{
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr)
        return -1;
    pApp->m_hInstance = hInstance;
    pApp->InitAppName();
    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}
