// DVB_OpenBoard and DVB_CloseBoard on Linux: the board over the adapter's
// device, and its changes turned into the registered window message.
//
// The two window calls (RegisterWindowMessageA, PostMessageA) come from the
// program this library is linked into: the window-system back end in the
// tool, a double in the card tests.
#include "platform/card/card_board.h"
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_device.h"
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

LinuxDevice& TheDevice()
{
    static LinuxDevice device("/dev/dvb");
    return device;
}

}  // namespace

Board& TheBoard()
{
    static Board board(TheDevice());
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
