// The Qt back end's shared pieces: the record behind every window handle,
// the table of handles, and what the back end's parts ask of each other.
// Tools and tests use it for the widget behind a handle.
//
// The back end's parts:
//   window_table.cpp      handles, sent and posted messages, hooks, module
//   dialog_manager.cpp    dialog templates into widgets, controls' messages
//   broadcast_bridge.cpp  registered messages from other processes (D-Bus)
//   painting.cpp          painting, icons and the message box
#pragma once

#include "platform/ui/control_names.h"
#include "platform/ui/qt/resources.h"
#include "platform/ui/qt/winapi_qt.h"

#include <QByteArray>
#include <QPointer>
#include <QFont>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

struct HDC__;

namespace qtwin {

QWidget* WidgetFromHwnd(HWND hWnd);
HWND HwndFromWidget(const QWidget* pWidget);

// The typeface the back end uses for a dialog template's typeface.
const char* SubstituteTypeface(const char* pszTypeface);
// A dialog template's font (typeface substituted, size in points) for the
// screen of pWidget.
QFont DialogFont(const char* pszTypeface, int pointSize, int weight, bool italic, const QWidget* pWidget);
// The font of a message box owned by pOwner (which may be null): the font of
// the owner's dialog, or the classic dialog font at 8 points.
QFont MessageBoxFont(QWidget* pOwner);

// The window flags of a dialog with the template's window styles.
Qt::WindowFlags DialogWindowFlags(DWORD style);

// The name each of a template's controls gets by the naming rule every back
// end shares (platform/ui/control_names.h), in template order.
std::vector<afx::ControlName> TemplateControlNames(const std::vector<DialogItem>& items);

enum class Kind { Dialog, Button, Edit, Static, UpDown, Other };

struct Window
{
    HWND hWnd = nullptr;
    Kind kind = Kind::Other;
    QPointer<QWidget> widget;
    HWND hWndParent = nullptr;
    int id = 0;
    DWORD style = 0;
    DLGPROC pfnDlgProc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR msgResult = 0;
    int defId = IDOK;
    HICON hIconBig = nullptr;
    HICON hIconSmall = nullptr;
    int baseUnitX = 0;
    int baseUnitY = 0;
    std::vector<HWND> children;   // in template order
    HDC__* pPaintDC = nullptr;    // while the window handles WM_PAINT
};

// Windows are reached through integer handles, as on Windows: a handle that
// has gone is simply not found, from any thread.
class Registry
{
public:
    HWND Add(std::unique_ptr<Window> window);
    // UI thread only: the window stays valid until Remove on the same thread.
    Window* Find(HWND hWnd);
    std::unique_ptr<Window> Remove(HWND hWnd);
    bool Contains(HWND hWnd);
    std::vector<HWND> TopLevelDialogs();
    Window* FindByWidget(const QWidget* pWidget);

private:
    std::mutex m_mutex;
    std::unordered_map<HWND, std::unique_ptr<Window>> m_windows;
    std::uintptr_t m_next = 0x10000;
};

Registry& Windows();

// window_table.cpp: the thread's message queue exists once an application
// object does; registered messages by name (0 if nobody registered it);
// text copied out for WM_GETTEXT into the caller's buffer of wParam bytes
// at lParam, cut to fit and terminated; returns the bytes copied.
void EnsureMessageQueue();
UINT FindRegisteredMessage(const char* pszName);
LRESULT CopyTextOut(const QByteArray& text, WPARAM wParam, LPARAM lParam);
// A post that goes ahead of everything already queued and is still
// delivered once the process is shutting down (shutdown_signals.h), when
// other posts are dropped.
BOOL PostMessageAhead(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// dialog_manager.cpp: what a dialog or a control does with a message its
// procedure leaves.
LRESULT DefaultDialogMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT ControlMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam);

// broadcast_bridge.cpp: starts listening for other processes' broadcasts
// (once; without a session bus, never).
void StartBroadcastBridge();

// painting.cpp: WM_PAINT through the dialog procedure, with a device context
// on the widget; false if the procedure left it. The dialog's icon
// messages (WM_SETICON, WM_GETICON, WM_ICONERASEBKGND).
bool PaintThroughDialogProc(HWND hWnd, QWidget* pWidget);
LRESULT DialogIconMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace qtwin
