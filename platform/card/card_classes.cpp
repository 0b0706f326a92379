// The decoder and front-end classes of card_library.h over the process's
// one board. All state lives in the board; the objects only give access
// to it.
#include "platform/card/card_board.h"
#include "platform/card/card_library.h"

using dvbcard::TheBoard;

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
