// The card library of tavrik.exe: the board (exclusive_board.h) over the
// BDA device.
#include "platform/card/exclusive_board.h"
#include "platform/card/win32/bda_device.h"

dvbcard::CardDevice& exclusiveboard::TheDevice()
{
    static bda::Device device;
    return device;
}
