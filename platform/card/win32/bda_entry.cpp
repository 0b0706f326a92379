// DVB_OpenBoard and DVB_CloseBoard on Windows: the board over the BDA
// device, and its changes turned into the registered window message.
//
// The device follows the program tables itself (its PID filter reads them
// from the captured stream), so the board reads none.
#include "platform/card/card_board.h"
#include "platform/card/card_library.h"
#include "platform/card/win32/bda_device.h"
#include "platform/ui/winapi.h"

#include <atomic>

namespace dvbcard {
namespace {

constexpr const char* ProgramChangedMessage = "WM_DVB_PROGRAM_CHANGED";

std::atomic<UINT> g_nProgramChanged{0};

// From the watcher's thread; PostMessageA is safe from any thread.
void PostProgramChanged(void* pContext)
{
    ::PostMessageA(static_cast<HWND>(pContext), g_nProgramChanged, 0, 0);
}

bda::Device& TheDevice()
{
    static bda::Device device;
    return device;
}

}  // namespace

Board& TheBoard()
{
    static Board board(TheDevice(), DeviceFollowsTables{});
    return board;
}

}  // namespace dvbcard

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    dvbcard::g_nProgramChanged = ::RegisterWindowMessageA(dvbcard::ProgramChangedMessage);
    return dvbcard::TheBoard().Open(hWnd, dvbcard::PostProgramChanged, hWnd);
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    return dvbcard::TheBoard().Close(hWnd);
}
