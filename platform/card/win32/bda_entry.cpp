// The card on Windows: the process's one board over the BDA device
// (card_classes.cpp gives card_library.h's functions over it).
//
// The device follows the program tables itself (its PID filter reads them
// from the captured stream), so the board reads none.
#include "platform/card/card_board.h"
#include "platform/card/win32/bda_device.h"

namespace dvbcard {
namespace {

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
