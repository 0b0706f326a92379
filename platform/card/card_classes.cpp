// What card_library.h declares, over the process's one board (TheBoard, which
// the platform's entry point defines over its device). All state lives in
// the board; the objects only give access to it.
//
// The board's changes become the registered window message. The two window
// calls (RegisterWindowMessageA, PostMessageA) come from the program this
// library is linked into: the window system itself on Windows, the
// window-system back end in the Linux tool, a double in the card tests.
#include "platform/card/card_board.h"
#include "platform/card/card_library.h"
#include "platform/ui/winapi.h"

#include <atomic>

using dvbcard::TheBoard;

namespace {

constexpr const char* ProgramChangedMessage = "WM_DVB_PROGRAM_CHANGED";

std::atomic<UINT> g_nProgramChanged{0};

// From the board's threads; PostMessageA is safe from any thread.
void PostProgramChanged(void* pContext)
{
    ::PostMessageA(static_cast<HWND>(pContext), g_nProgramChanged, 0, 0);
}

}  // namespace

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    g_nProgramChanged = ::RegisterWindowMessageA(ProgramChangedMessage);
    return TheBoard().Open(hWnd, PostProgramChanged, hWnd);
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    return TheBoard().Close(hWnd);
}

CMPEGDecoder::CMPEGDecoder() = default;
CMPEGDecoder::~CMPEGDecoder() = default;

CCommonDVB::ErrReturn CMPEGDecoder::GetAudioPid(std::uint16_t& wPid)
{
    return TheBoard().GetAudioPid(wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::GetVideoPID(std::uint16_t& wPid)
{
    return TheBoard().GetVideoPid(wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetAudioPID(std::uint16_t wPid)
{
    return TheBoard().SetAudioPid(wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetVideoPID(std::uint16_t wPid)
{
    return TheBoard().SetVideoPid(wPid);
}

CFrontend::CFrontend() = default;
CFrontend::~CFrontend() = default;

CCommonDVB::ErrReturn CFrontend::GetFrequency(std::uint32_t& nFrequency)
{
    return TheBoard().GetFrequency(nFrequency);
}

CCommonDVB::ErrReturn CFrontend::GetSymbolrate(std::uint32_t& nSymbolRate)
{
    return TheBoard().GetSymbolRate(nSymbolRate);
}

CCommonDVB::ErrReturn CFrontend::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    return TheBoard().SetFrequency(nFrequency, nFlags);
}
