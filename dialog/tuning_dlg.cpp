#include "dialog/tuning_dlg.h"

#include "dialog/frequency_grid.h"

// The members come up in declaration order (the spin buttons, then the card's
// decoder and front end); the values and the icon follow once they exist.
CTuningDlg::CTuningDlg(CWnd* pParent) : CDialog(CTuningDlg::IDD, pParent)
{
    m_nAudioPid = 0;
    m_nVideoPid = 0;
    m_nFrequency = 0;
    m_nSymbolRate = 0;
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

void CTuningDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SPIN_FREQUENCY, m_spinFrequency);
    DDX_Control(pDX, IDC_SPIN_AUDIO_PID, m_spinAudioPid);
    DDX_Control(pDX, IDC_SPIN_VIDEO_PID, m_spinVideoPid);
    DDX_Text(pDX, IDC_EDIT_AUDIO_PID, m_nAudioPid);
    DDX_Text(pDX, IDC_EDIT_VIDEO_PID, m_nVideoPid);
    DDX_Text(pDX, IDC_EDIT_FREQUENCY, m_nFrequency);
    DDX_Text(pDX, IDC_EDIT_SYMBOL_RATE, m_nSymbolRate);
}

BEGIN_MESSAGE_MAP(CTuningDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_NOTIFY(UDN_DELTAPOS, IDC_SPIN_AUDIO_PID, CTuningDlg::OnDeltaposSpinAudioPid)
    ON_NOTIFY(UDN_DELTAPOS, IDC_SPIN_VIDEO_PID, CTuningDlg::OnDeltaposSpinVideoPid)
    ON_BN_CLICKED(IDC_REFRESH, CTuningDlg::OnRefresh)
    ON_NOTIFY(UDN_DELTAPOS, IDC_SPIN_FREQUENCY, CTuningDlg::OnDeltaposSpinFrequency)
    ON_MESSAGE(WM_APPLY_VIDEO_PID, CTuningDlg::OnApplyVideoPid)
    ON_MESSAGE(WM_APPLY_AUDIO_PID, CTuningDlg::OnApplyAudioPid)
    ON_MESSAGE(WM_APPLY_FREQUENCY, CTuningDlg::OnApplyFrequency)
    ON_REGISTERED_MESSAGE(g_wmProgramChanged, CTuningDlg::OnProgramChanged)
END_MESSAGE_MAP()

BOOL CTuningDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_spinAudioPid.SetRange(PidSpinMin, PidSpinMax);
    m_spinVideoPid.SetRange(PidSpinMin, PidSpinMax);
    m_spinFrequency.SetRange(FrequencyPositionMin, FrequencyPositionMax);

    const DVBErrReturn nResult = DVB_OpenBoard(m_hWnd);
    if (nResult != 0) {
        CString strMessage;
        strMessage.Format("Error on DVB_OpenBoard: %u", nResult);
        AfxMessageBox(strMessage, 0, 0);
    }

    RefreshFromCard();
    return TRUE;
}

void CTuningDlg::RefreshFromCard()
{
    UpdateData(TRUE);

    std::uint16_t w = 0;
    if (m_decoder.GetAudioPid(w) == CCommonDVB::Success)
        m_nAudioPid = w;
    if (m_decoder.GetVideoPID(w) == CCommonDVB::Success)
        m_nVideoPid = w;

    std::uint32_t l = 0;
    if (m_frontend.GetFrequency(l) == CCommonDVB::Success)
        m_nFrequency = l;
    if (m_frontend.GetSymbolrate(l) == CCommonDVB::Success)
        m_nSymbolRate = l;

    m_spinAudioPid.SetPos(static_cast<std::uint16_t>(m_nAudioPid));
    m_spinVideoPid.SetPos(static_cast<std::uint16_t>(m_nVideoPid));
    m_spinFrequency.SetPos(PositionFromFrequency(m_nFrequency));

    UpdateData(FALSE);
}

BOOL CTuningDlg::DestroyWindow()
{
    const DVBErrReturn nResult = DVB_CloseBoard(m_hWnd);
    if (nResult != 0) {
        CString strMessage;
        strMessage.Format("Error on DVB_CloseBoard: %u", nResult);
        AfxMessageBox(strMessage, 0, 0);
    }
    return CDialog::DestroyWindow();
}

void CTuningDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialog::Default();
        return;
    }

    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CTuningDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

void CTuningDlg::OnRefresh()
{
    RefreshFromCard();
}

LRESULT CTuningDlg::OnProgramChanged(WPARAM, LPARAM)
{
    RefreshFromCard();
    return 0;
}

void CTuningDlg::OnDeltaposSpinVideoPid(NMHDR*, LRESULT* pResult)
{
    PostMessage(WM_APPLY_VIDEO_PID, 0, 0);
    *pResult = 0;
}

void CTuningDlg::OnDeltaposSpinAudioPid(NMHDR*, LRESULT* pResult)
{
    PostMessage(WM_APPLY_AUDIO_PID, 0, 0);
    *pResult = 0;
}

void CTuningDlg::OnDeltaposSpinFrequency(NMHDR*, LRESULT* pResult)
{
    PostMessage(WM_APPLY_FREQUENCY, 0, 0);
    *pResult = 0;
}

LRESULT CTuningDlg::OnApplyVideoPid(WPARAM, LPARAM)
{
    UpdateData(TRUE);
    m_nVideoPid = static_cast<std::uint16_t>(m_spinVideoPid.GetPos());
    UpdateData(FALSE);
    m_decoder.SetVideoPID(static_cast<std::uint16_t>(m_nVideoPid));
    RefreshFromCard();
    return 0;
}

LRESULT CTuningDlg::OnApplyAudioPid(WPARAM, LPARAM)
{
    UpdateData(TRUE);
    m_nAudioPid = static_cast<std::uint16_t>(m_spinAudioPid.GetPos());
    UpdateData(FALSE);
    m_decoder.SetAudioPID(static_cast<std::uint16_t>(m_nAudioPid));
    RefreshFromCard();
    return 0;
}

LRESULT CTuningDlg::OnApplyFrequency(WPARAM, LPARAM)
{
    UpdateData(TRUE);
    const auto nPosition = static_cast<std::uint16_t>(m_spinFrequency.GetPos());
    m_nFrequency = FrequencyFromPosition(nPosition);
    UpdateData(FALSE);
    m_frontend.SetFrequency(m_nFrequency, 1);
    RefreshFromCard();
    return 0;
}
