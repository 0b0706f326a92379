// The tuning dialog: shows the card's audio PID, video PID, frequency and
// symbol rate, and steps the PIDs and the frequency with three spin buttons.
#pragma once

#include "platform/card/card_library.h"
#include "platform/ui/afxwin.h"
#include "res/resource.h"

#include <cstdint>

// Posted by the dialog to itself when a spin button announces a step; handled
// once the spin button has moved.
#define WM_APPLY_VIDEO_PID  (WM_USER + 1)
#define WM_APPLY_AUDIO_PID  (WM_USER + 2)
#define WM_APPLY_FREQUENCY  (WM_USER + 3)

// The registered message "WM_DVB_PROGRAM_CHANGED": the card's tuning changed.
extern UINT g_wmProgramChanged;

constexpr short PidSpinMin = 0;
constexpr short PidSpinMax = 4096;

class CTuningDlg : public CDialog
{
public:
    explicit CTuningDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_TUNING_DIALOG };

    BOOL DestroyWindow() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    // Reads all four values from the card and shows them.
    void RefreshFromCard();

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnRefresh();
    LRESULT OnProgramChanged(WPARAM wParam, LPARAM lParam);

    // A spin button announces a step: post the apply to the dialog itself.
    void OnDeltaposSpinVideoPid(NMHDR* pNMHDR, LRESULT* pResult);
    void OnDeltaposSpinAudioPid(NMHDR* pNMHDR, LRESULT* pResult);
    void OnDeltaposSpinFrequency(NMHDR* pNMHDR, LRESULT* pResult);

    // The spin button has moved: send its value to the card and read back.
    LRESULT OnApplyVideoPid(WPARAM wParam, LPARAM lParam);
    LRESULT OnApplyAudioPid(WPARAM wParam, LPARAM lParam);
    LRESULT OnApplyFrequency(WPARAM wParam, LPARAM lParam);

    CSpinButtonCtrl m_spinFrequency;
    CSpinButtonCtrl m_spinAudioPid;
    CSpinButtonCtrl m_spinVideoPid;
    UINT m_nAudioPid;      // a 13-bit PID, 0..8191
    UINT m_nVideoPid;      // a 13-bit PID, 0..8191
    UINT m_nFrequency;     // kHz
    UINT m_nSymbolRate;    // kSym/s, shown only
    HICON m_hIcon;
    CMPEGDecoder m_decoder;
    CFrontend m_frontend;

    DECLARE_MESSAGE_MAP()
};
