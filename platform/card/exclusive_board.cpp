#include "platform/card/exclusive_board.h"

using dvbcard::Access;
using dvbcard::Route;
using dvbcard::Status;
using dvbcard::System;

namespace exclusiveboard {
namespace {

struct Board
{
    Access access = Access::None;
    HWND hWnd = nullptr;
};

Board& TheBoard()
{
    static Board board;
    return board;
}

bool IsOpen()
{
    return TheBoard().access != Access::None;
}

CCommonDVB::ErrReturn ResultOf(Status status)
{
    switch (status) {
    case Status::Ok:
        return CCommonDVB::Success;
    case Status::Refused:
        return ResRefused;
    case Status::Denied:
        return ResReadOnly;
    case Status::NotSupported:
        return ResNotSupported;
    case Status::Failed:
    case Status::Gone:
        break;
    }
    return ResDeviceError;
}

std::uint32_t Thousands(std::uint32_t n)
{
    return static_cast<std::uint32_t>((std::uint64_t{n} + 500) / 1000);
}

bool IsCable(System s)
{
    return s == System::DvbCAnnexA || s == System::DvbCAnnexB || s == System::DvbCAnnexC || s == System::IsdbC;
}

bool IsSatellite(System s)
{
    return s == System::DvbS || s == System::DvbS2 || s == System::Turbo || s == System::IsdbS || s == System::Dss;
}

bool IsTerrestrial(System s)
{
    return s == System::DvbT || s == System::DvbT2 || s == System::IsdbT || s == System::Dtmb || s == System::Atsc;
}

CCommonDVB::ErrReturn SetPid(Route route, std::uint16_t wPid)
{
    if (!IsOpen())
        return ResNotOpen;
    if (wPid > dvbcard::MaxPid)
        return ResOutOfRange;
    if (TheBoard().access != Access::Owner)
        return ResReadOnly;
    return ResultOf(TheDevice().SetRoute(route, wPid, true));
}

CCommonDVB::ErrReturn GetPid(bool bAudio, std::uint16_t& wPid)
{
    if (!IsOpen())
        return ResNotOpen;
    std::uint16_t wAudio = dvbcard::NoPid;
    std::uint16_t wVideo = dvbcard::NoPid;
    const Status status = TheDevice().ReadDecoderPids(wAudio, wVideo);
    if (status != Status::Ok)
        return ResultOf(status);
    const std::uint16_t w = bAudio ? wAudio : wVideo;
    if (w == dvbcard::NoPid)
        return ResNoPid;
    wPid = w;
    return CCommonDVB::Success;
}

// A first tune with the defaults for the front end's systems.
CCommonDVB::ErrReturn FirstTune(const dvbcard::FrontendInfo& info, std::uint32_t nHz)
{
    dvbcard::TuneParameters parameters;
    for (int i = 0; i < info.nSystems && parameters.system == System::Undefined; ++i) {
        if (IsCable(info.systems[i]))
            parameters.system = info.systems[i];
    }
    for (int i = 0; i < info.nSystems && parameters.system == System::Undefined; ++i) {
        if (IsTerrestrial(info.systems[i]))
            parameters.system = info.systems[i];
    }
    if (parameters.system == System::Undefined)
        return info.nSystems > 0 ? ResSatelliteNotTuned : ResNotSupported;
    parameters.nFrequency = nHz;
    if (IsCable(parameters.system)) {
        parameters.nSymbolRate = DefaultCableSymbolRate;
        parameters.modulation = info.bModulationAuto ? dvbcard::Modulation::Auto : dvbcard::Modulation::Qam256;
    } else {
        parameters.nBandwidth = DefaultTerrestrialBandwidth;
    }
    const Status status = TheDevice().Tune(parameters);
    if (status != Status::Ok) {
        // A refused first tune leaves the front end as it was: never tuned.
        TheDevice().Untune(parameters.system);
        return ResultOf(status);
    }
    return CCommonDVB::Success;
}

}  // namespace

void Reset()
{
    TheBoard() = Board{};
}

}  // namespace exclusiveboard

using namespace exclusiveboard;

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    Board& board = TheBoard();
    if (board.access != Access::None)
        return ErrAlreadyOpen;
    Access access = Access::None;
    const std::uint32_t nCode = TheDevice().Open(access);
    board.access = access;
    board.hWnd = access != Access::None ? hWnd : nullptr;
    return nCode;
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    Board& board = TheBoard();
    if (board.access == Access::None)
        return 0;   // its open failed: nothing was opened, nothing is lost
    if (hWnd != board.hWnd)
        return ErrWrongWindow;
    const std::uint32_t nCode = TheDevice().Close();
    board = Board{};
    return nCode;
}

CMPEGDecoder::CMPEGDecoder() = default;
CMPEGDecoder::~CMPEGDecoder() = default;

CCommonDVB::ErrReturn CMPEGDecoder::GetAudioPid(std::uint16_t& wPid)
{
    return GetPid(true, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::GetVideoPID(std::uint16_t& wPid)
{
    return GetPid(false, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetAudioPID(std::uint16_t wPid)
{
    return SetPid(Route::Audio, wPid);
}

CCommonDVB::ErrReturn CMPEGDecoder::SetVideoPID(std::uint16_t wPid)
{
    return SetPid(Route::Video, wPid);
}

CFrontend::CFrontend() = default;
CFrontend::~CFrontend() = default;

CCommonDVB::ErrReturn CFrontend::GetFrequency(std::uint32_t& nFrequency)
{
    if (!IsOpen())
        return ResNotOpen;
    dvbcard::Tuning tuning;
    const Status status = TheDevice().ReadTuning(tuning);
    if (status != Status::Ok)
        return ResultOf(status);
    if (tuning.nFrequency == 0)
        return ResNotTuned;
    // Satellite front ends already count in kHz.
    nFrequency = IsSatellite(tuning.system) ? tuning.nFrequency : Thousands(tuning.nFrequency);
    return Success;
}

CCommonDVB::ErrReturn CFrontend::GetSymbolrate(std::uint32_t& nSymbolRate)
{
    if (!IsOpen())
        return ResNotOpen;
    dvbcard::Tuning tuning;
    const Status status = TheDevice().ReadTuning(tuning);
    if (status != Status::Ok)
        return ResultOf(status);
    if (!tuning.bHasSymbolRate)
        return ResNotSupported;
    if (tuning.nFrequency == 0 || tuning.nSymbolRate == 0)
        return ResNotTuned;
    nSymbolRate = Thousands(tuning.nSymbolRate);
    return Success;
}

CCommonDVB::ErrReturn CFrontend::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    if (!IsOpen())
        return ResNotOpen;
    if (nFlags != KeepOtherParameters)
        return ResBadFlags;
    if (TheBoard().access != Access::Owner)
        return ResReadOnly;
    dvbcard::FrontendInfo info;
    Status status = TheDevice().ReadInfo(info);
    if (status != Status::Ok)
        return ResultOf(status);
    const std::uint64_t nHz = std::uint64_t{nFrequency} * 1000;
    if (nHz > 0xffffffffu || nHz < info.nMinHz || (info.nMaxHz != 0 && nHz > info.nMaxHz))
        return ResOutOfRange;
    dvbcard::Tuning tuning;
    status = TheDevice().ReadTuning(tuning);
    if (status != Status::Ok)
        return ResultOf(status);
    if (tuning.nFrequency == 0)
        return FirstTune(info, static_cast<std::uint32_t>(nHz));
    return ResultOf(TheDevice().Retune(IsSatellite(tuning.system) ? nFrequency : static_cast<std::uint32_t>(nHz)));
}
