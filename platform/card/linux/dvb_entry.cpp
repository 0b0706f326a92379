// The card on Linux: the process's one board over the adapter's device
// (card_classes.cpp gives card_library.h's functions over it).
#include "platform/card/card_board.h"
#include "platform/card/linux/dvb_device.h"

namespace dvbcard {
namespace {

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
