// Drives one run of the tool's test build (tavrik-rec.exe, the tool on the
// recording card) from another process, as a user would: it finds the dialog
// by its caption, clicks and keys the controls with window messages, reads
// the boxes and the spin positions, and reads the card's call log.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace driver {

// The caption of the tuning dialog.
extern const wchar_t* const DialogCaption;

class Session
{
public:
    // Starts tavrik-rec.exe with the card set up by the given commands
    // (tests/support/recording_card.h). No dialog is waited for yet.
    explicit Session(const std::vector<std::string>& cardCommands = {});
    // Starts another exe of the tool from the same folder (tavrik.exe, on a
    // real card): no card log, and WaitForDialog waits for the controls only.
    explicit Session(const char* pszExe);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Waits until the dialog is visible with all its controls and the card
    // has been read once; false on time-out.
    bool WaitForDialog();
    HWND Dialog() const { return m_hDialog; }
    HWND Item(int nID) const { return ::GetDlgItem(m_hDialog, nID); }

    std::string Text(int nID) const;
    int SpinPos(int nID) const;
    HWND Focus() const;

    // A mouse click on the upper or lower half of a spin button.
    void ClickSpin(int nID, bool bUp);
    // A key sent to a spin button itself.
    void SpinKey(int nID, UINT vk);
    // A key pressed in the dialog: it goes to the focused control through
    // the dialog's message loop.
    void Key(UINT vk);
    // A push button clicked.
    void Click(int nID);
    void SysCommand(WPARAM nCommand);
    // The registered "WM_DVB_PROGRAM_CHANGED" from this process, posted to
    // the dialog or broadcast to every top-level window.
    void ProgramChanged(bool bBroadcast);

    // Hands the card commands; it takes them at its next call.
    void Card(const std::vector<std::string>& commands);
    // Returns once every message posted to the dialog so far, and whatever
    // those posted in turn, has been handled.
    void Settle();

    // The card's calls so far, and the ones since a mark.
    std::vector<std::string> Log() const;
    std::size_t Mark() const { return Log().size(); }
    std::vector<std::string> LogSince(std::size_t nMark) const;

    // What tests/windows/dm_trace.cpp recorded: the dialog manager's messages
    // sent to the dialog, as "0x400 wParam lParam".
    std::vector<std::string> DialogManagerTrace() const;

    // What tests/windows/acc_trace.cpp recorded: the tool's dynamic
    // annotation calls, "trace ready" first.
    std::vector<std::string> AnnotationTrace() const;

    // A message box of the tool, if one comes up within the time-out.
    HWND WaitForMessageBox() const;
    static std::string MessageBoxText(HWND hBox);
    static std::string WindowText(HWND hWnd);

    // Waits for the process to end; its exit code, or -1 on time-out.
    long WaitForExit();
    bool Running() const;

private:
    void WriteInbox(const std::vector<std::string>& commands);
    bool Barrier(UINT nLimit);

    PROCESS_INFORMATION m_pi{};
    HWND m_hDialog = nullptr;
    std::string m_logPath;
    std::string m_inboxPath;
    std::string m_tracePath;
    std::string m_accTracePath;
    UINT m_nBarrier = 1000;
    bool m_bRecording = true;
};

}  // namespace driver
