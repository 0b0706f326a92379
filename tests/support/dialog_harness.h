// Runs a modal dialog under test: waits until it is up, runs a script of
// user actions on it through real input events, and answers message boxes.
#pragma once

#include "platform/ui/afxwin.h"

#include <QMessageBox>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace harness {

struct MessageBoxSeen
{
    std::string caption;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool ownerIsDialog = false;       // owned by the dialog window
    bool dialogWasVisible = false;    // the dialog was on screen when it came up
    std::string fontFamily;           // the face its text is really drawn in
    int fontPixelSize = 0;
};

class Session
{
public:
    Session();
    ~Session();

    // Called while a message box is up, before the session answers it.
    std::function<void(const MessageBoxSeen&)> onMessageBox;
    std::vector<MessageBoxSeen> messageBoxes;

    // Runs dlg.DoModal(); script(hDlg) runs once the dialog is on screen,
    // inside its modal loop (so a close takes effect once the script
    // returns). A dialog the script leaves open is cancelled afterwards.
    INT_PTR RunModal(CDialog& dlg, const std::function<void(HWND)>& script);
    // The same around any code that runs a dialog (the application's entry).
    void Run(const std::function<void()>& run, const std::function<void(HWND)>& script);

private:
    void Poll();

    std::function<void(HWND)> m_script;
    bool m_scriptDone = false;
    bool m_cancelSent = false;
    HWND m_hDlg = nullptr;
    bool m_inPoll = false;
};

// Delivers everything posted so far, as the modal loop would.
void Pump();

QWidget* Control(HWND hDlg, int id);
std::string Text(HWND hDlg, int id);
int SpinPos(HWND hDlg, int id);

// Real input events on the real controls.
void ClickSpin(HWND hDlg, int id, bool up);
void PressSpinKey(HWND hDlg, int id, bool up);
void ClickButton(HWND hDlg, int id);
void PressKey(HWND hDlg, int qtKey);

// Records UDM_SETPOS sent to the dialog's spin buttons: (control id, position).
class SetPosSpy
{
public:
    SetPosSpy();
    ~SetPosSpy();
    std::vector<std::pair<int, int>> positions;
    // The last position sent to one control, or -1.
    int Last(int id) const;

private:
    HHOOK m_hHook = nullptr;
};

}  // namespace harness
