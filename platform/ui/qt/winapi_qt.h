// The part of the Win32 API that the framework and the card libraries use,
// provided by the Qt back end. Types, messages and numeric values are Win32's,
// so code written against this header is written against Win32.
//
// Strings are char, in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define PASCAL

typedef int BOOL;
typedef unsigned char BYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t INT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;

#ifndef TRUE
#  define TRUE 1
#endif
#ifndef FALSE
#  define FALSE 0
#endif

// Handles, declared as <windows.h> declares them.
struct HWND__;
typedef HWND__* HWND;
struct HICON__;
typedef HICON__* HICON;
typedef HICON HCURSOR;
struct HDC__;
typedef HDC__* HDC;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
struct HHOOK__;
typedef HHOOK__* HHOOK;

typedef INT_PTR (CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef LRESULT (CALLBACK* HOOKPROC)(int, WPARAM, LPARAM);

struct RECT { LONG left, top, right, bottom; };
typedef RECT* LPRECT;
struct POINT { LONG x, y; };

struct PAINTSTRUCT
{
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};

struct NMHDR
{
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
};

struct NMUPDOWN
{
    NMHDR hdr;
    int iPos;
    int iDelta;
};
typedef NMUPDOWN* LPNMUPDOWN;

// For WH_CALLWNDPROC hooks: a message about to reach its window.
struct CWPSTRUCT
{
    LPARAM lParam;
    WPARAM wParam;
    UINT message;
    HWND hwnd;
};

#define LOWORD(l) ((WORD)(((DWORD_PTR_)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR_)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)(((WORD)(((DWORD_PTR_)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR_)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
typedef std::uintptr_t DWORD_PTR_;
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

// Window messages.
#define WM_NULL             0x0000
#define WM_DESTROY          0x0002
#define WM_SETFOCUS         0x0007
#define WM_KILLFOCUS        0x0008
#define WM_SETTEXT          0x000C
#define WM_GETTEXT          0x000D
#define WM_GETTEXTLENGTH    0x000E
#define WM_PAINT            0x000F
#define WM_CLOSE            0x0010
#define WM_ERASEBKGND       0x0014
#define WM_ICONERASEBKGND   0x0027
#define WM_QUERYDRAGICON    0x0037
#define WM_NOTIFY           0x004E
#define WM_HELP             0x0053
#define WM_GETICON          0x007F
#define WM_SETICON          0x0080
#define WM_KEYDOWN          0x0100
#define WM_KEYUP            0x0101
#define WM_INITDIALOG       0x0110
#define WM_COMMAND          0x0111
#define WM_SYSCOMMAND       0x0112
#define WM_LBUTTONDOWN      0x0201
#define WM_LBUTTONUP        0x0202
#define WM_USER             0x0400

#define DM_GETDEFID         (WM_USER + 0)
#define DM_SETDEFID         (WM_USER + 1)
#define DM_REPOSITION       (WM_USER + 2)
#define DC_HASDEFID         0x534B

#define BM_CLICK            0x00F5
#define BN_CLICKED          0

#define ICON_SMALL          0
#define ICON_BIG            1

#define SC_CLOSE            0xF060

// Up-down control.
#define UPDOWN_CLASSA       "msctls_updown32"
#define UDM_SETRANGE        (WM_USER + 101)
#define UDM_GETRANGE        (WM_USER + 102)
#define UDM_SETPOS          (WM_USER + 103)
#define UDM_GETPOS          (WM_USER + 104)
#define UDN_FIRST           (0U - 721)
#define UDN_DELTAPOS        (UDN_FIRST - 1)
#define UD_MAXVAL           0x7fff
#define UD_MINVAL           (-UD_MAXVAL)

// Dialog results and identifiers.
#define IDOK                1
#define IDCANCEL            2

// Window styles.
#define WS_POPUP            0x80000000L
#define WS_CHILD            0x40000000L
#define WS_MINIMIZE         0x20000000L
#define WS_VISIBLE          0x10000000L
#define WS_DISABLED         0x08000000L
#define WS_CAPTION          0x00C00000L
#define WS_BORDER           0x00800000L
#define WS_DLGFRAME         0x00400000L
#define WS_SYSMENU          0x00080000L
#define WS_THICKFRAME       0x00040000L
#define WS_GROUP            0x00020000L
#define WS_TABSTOP          0x00010000L
#define WS_MINIMIZEBOX      0x00020000L
#define WS_MAXIMIZEBOX      0x00010000L
#define WS_EX_APPWINDOW     0x00040000L
#define DS_MODALFRAME       0x80L
#define BS_DEFPUSHBUTTON    0x00000001L
#define BS_TYPEMASK         0x0000000FL
#define ES_READONLY         0x0800L
#define ES_NUMBER           0x2000L
#define SS_TYPEMASK         0x0000001FL
#define SS_LEFT             0x00000000L
#define SS_CENTER           0x00000001L
#define SS_RIGHT            0x00000002L
#define SS_SIMPLE           0x0000000BL
#define SS_LEFTNOWORDWRAP   0x0000000CL
#define UDS_WRAP            0x0001
#define UDS_SETBUDDYINT     0x0002
#define UDS_ALIGNRIGHT      0x0004
#define UDS_ALIGNLEFT       0x0008
#define UDS_AUTOBUDDY       0x0010
#define UDS_ARROWKEYS       0x0020
#define UDS_HORZ            0x0040

// Message boxes.
#define MB_OK               0x00000000L
#define MB_OKCANCEL         0x00000001L
#define MB_ICONHAND         0x00000010L
#define MB_ICONQUESTION     0x00000020L
#define MB_ICONEXCLAMATION  0x00000030L
#define MB_ICONASTERISK     0x00000040L
#define MB_TYPEMASK         0x0000000FL
#define MB_ICONMASK         0x000000F0L

// System metrics.
#define SM_CXICON           11
#define SM_CYICON           12

// Window data.
#define GWLP_USERDATA       (-21)
#define DWLP_MSGRESULT      0

// Hooks.
#define WH_CALLWNDPROC      4

HWND WINAPI CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam);
BOOL WINAPI DestroyWindow(HWND hWnd);
BOOL WINAPI IsWindow(HWND hWnd);
BOOL WINAPI IsWindowVisible(HWND hWnd);
BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Safe to call from any thread, as on Windows.
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Safe to call from any thread and before the application object exists.
UINT WINAPI RegisterWindowMessageA(LPCSTR lpString);

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
int WINAPI GetDlgCtrlID(HWND hWnd);
HWND WINAPI GetParent(HWND hWnd);
HWND WINAPI GetFocus();
HWND WINAPI SetFocus(HWND hWnd);
HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious);

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString);
UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax);

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
BOOL WINAPI IsIconic(HWND hWnd);
HDC WINAPI BeginPaint(HWND hWnd, PAINTSTRUCT* lpPaint);
BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint);
int WINAPI GetSystemMetrics(int nIndex);
BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect);
BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect);
BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon);

DWORD WINAPI GetModuleFileNameA(HINSTANCE hModule, LPSTR lpFilename, DWORD nSize);
HINSTANCE WINAPI GetModuleHandleA(LPCSTR lpModuleName);

HHOOK WINAPI SetWindowsHookExA(int idHook, HOOKPROC lpfn, HINSTANCE hmod, DWORD dwThreadId);
BOOL WINAPI UnhookWindowsHookEx(HHOOK hhk);
LRESULT WINAPI CallNextHookEx(HHOOK hhk, int nCode, WPARAM wParam, LPARAM lParam);

#define SendMessage SendMessageA
#define PostMessage PostMessageA
#define RegisterWindowMessage RegisterWindowMessageA
#define MessageBox MessageBoxA
#define LoadIcon LoadIconA
#define SetWindowText SetWindowTextA
#define GetWindowText GetWindowTextA
#define SetDlgItemText SetDlgItemTextA
#define GetDlgItemText GetDlgItemTextA
#define SetWindowLongPtr SetWindowLongPtrA
#define GetWindowLongPtr GetWindowLongPtrA
#define CreateDialogParam CreateDialogParamA
#define GetModuleFileName GetModuleFileNameA
#define GetModuleHandle GetModuleHandleA
#define MAKEINTRESOURCE MAKEINTRESOURCEA
