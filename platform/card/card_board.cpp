#include "platform/card/card_board.h"

#include "platform/card/board_state.h"

#include <algorithm>
#include <cstdint>

namespace dvbcard {

bool IsSatellite(System system)
{
    switch (system) {
    case System::DvbS:
    case System::DvbS2:
    case System::Turbo:
    case System::IsdbS:
    case System::Dss:
        return true;
    default:
        return false;
    }
}

bool IsCable(System system)
{
    switch (system) {
    case System::DvbCAnnexA:
    case System::DvbCAnnexB:
    case System::DvbCAnnexC:
    case System::IsdbC:
        return true;
    default:
        return false;
    }
}

bool IsTerrestrial(System system)
{
    switch (system) {
    case System::DvbT:
    case System::DvbT2:
    case System::IsdbT:
    case System::Dtmb:
    case System::Atsc:
        return true;
    default:
        return false;
    }
}

std::uint32_t Thousands(std::uint32_t n)
{
    return static_cast<std::uint32_t>((std::uint64_t{n} + 500) / 1000);
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
    case Status::Failed:
    case Status::Gone:
        return ResDeviceError;
    case Status::NotSupported:
        break;
    }
    return ResNotSupported;
}

std::uint32_t FirstTuneSystem(const std::uint32_t* systems, int nSystems)
{
    static const System preferred[] = {
        System::DvbCAnnexA, System::DvbCAnnexC, System::DvbCAnnexB, System::IsdbC,
        System::DvbT,       System::DvbT2,      System::IsdbT,      System::Dtmb, System::Atsc,
    };
    for (System sys : preferred)
        for (int i = 0; i < nSystems; ++i)
            if (systems[i] == static_cast<std::uint32_t>(sys))
                return static_cast<std::uint32_t>(sys);
    return static_cast<std::uint32_t>(System::Undefined);
}

TuneParameters FirstTuneParameters(System system, std::uint32_t nFrequency, const FrontendInfo& info)
{
    TuneParameters p;
    p.system = system;
    p.nFrequency = nFrequency;
    p.bInversionAuto = info.bInversionAuto;
    if (IsCable(system)) {
        p.nSymbolRate = DefaultCableSymbolRate;
        p.modulation = info.bModulationAuto ? Modulation::Auto : Modulation::Qam256;
        // Cable has no inner code of its own to guess.
        p.codeRate = info.bCodeRateAuto ? CodeRate::Auto : CodeRate::None;
    } else if (system == System::Atsc) {
        p.modulation = Modulation::Vsb8;
    } else {
        // What most 8 MHz terrestrial networks send.
        p.nBandwidth = DefaultTerrestrialBandwidth;
        p.modulation = info.bModulationAuto ? Modulation::Auto : Modulation::Qam64;
        p.codeRate = info.bCodeRateAuto ? CodeRate::Auto : CodeRate::Rate2_3;
        p.guard = info.bGuardIntervalAuto ? GuardInterval::Auto : GuardInterval::Guard1_4;
        p.transmission = info.bTransmissionModeAuto ? TransmissionMode::Auto : TransmissionMode::Mode8K;
        p.hierarchy = info.bHierarchyAuto ? Hierarchy::Auto : Hierarchy::None;
    }
    return p;
}

// --- Open and close ---------------------------------------------------------------

DVBErrReturn BoardState::Open(HWND hWnd, ChangeCallback pfnChanged, void* pContext)
{
    Lock lock(m_mutex);
    if (m_bOpen)
        return ErrAlreadyOpen;
    Access access = Access::None;
    const DVBErrReturn nResult = m_device.Open(access);
    if (access == Access::None)
        return nResult;

    Reset();
    m_bReadOnly = access == Access::Monitor;
    m_bOpen = true;
    m_hWnd = hWnd;
    m_pfnChanged = pfnChanged;
    m_pContext = pContext;
    m_last = Reading{};
    Tuning t;
    if (ReadFrontEnd(t))
        m_last = ReadingOf(t);
    m_device.ReadDecoderPids(m_last.wAudioPid, m_last.wVideoPid);
    m_bStop = false;
    m_bStopping = false;
    m_watcher.Start(&BoardState::RunWatcher, this, "tavrik-watch");
    if (!m_bReadOnly) {
        if (m_pfnReader != nullptr)
            m_reader.Start(m_pfnReader, this, "tavrik-tables");
        m_tuner.Start(&BoardState::RunTuner, this, "tavrik-tune");
        // When the last program closed the front end, the kernel put the
        // tuner to sleep; opening it again woke it but tuned nothing, so it
        // would report a tuning it no longer receives. The owner tunes it
        // again to what it reports, so what the window shows is what the
        // card receives. A front end never tuned has nothing to apply.
        if (t.nFrequency != 0)
            RequestTune(0, true, lock);
    }
    return nResult;
}

DVBErrReturn BoardState::Close(HWND hWnd)
{
    {
        Lock lock(m_mutex);
        if (!m_bOpen)
            return 0;
        if (hWnd != m_hWnd)
            return ErrWrongWindow;
    }
    StopThreads();
    Lock lock(m_mutex);
    const DVBErrReturn nResult = m_device.Close();
    Reset();
    return nResult;
}

// Forgets what the last open set up; the lock held.
void BoardState::Reset()
{
    m_bOpen = false;
    m_bReadOnly = false;
    m_hWnd = nullptr;
    m_pfnChanged = nullptr;
    m_pContext = nullptr;
    m_wAppliedVideo = m_wAppliedAudio = NoPid;
    m_routed = TableRoute{};
    m_map = ProgramMap{};
    m_bMapValid = m_bNeedMap = false;
    m_bOwnTune = false;
    m_bGone = false;
    m_bTuning = m_bHasRequest = m_bAwaitTune = m_bTellWhenDone = false;
}

void BoardState::StopThreads()
{
    {
        Lock lock(m_mutex);
        m_bStop = true;
        m_bStopping = true;
        m_wake.NotifyAll();
        m_readerWake.NotifyAll();
        m_tunerWake.NotifyAll();
    }
    m_device.Interrupt();
    m_watcher.Join();
    m_reader.Join();
    // A tune under way ends first: a slow tuner's driver may hold the
    // front end for seconds, and its handles stay until it returns.
    m_tuner.Join();
}

// --- Reading ------------------------------------------------------------------------

Reading ReadingOf(const Tuning& t)
{
    Reading r;
    r.system = t.system;
    r.nFrequency = t.nFrequency;
    r.bHasSymbolRate = t.bHasSymbolRate && t.nFrequency != 0;
    r.nSymbolRate = r.bHasSymbolRate ? t.nSymbolRate : 0;
    return r;
}

// The front end's tuning, waiting for a tune under way; without m_mutex
// (except at the open, before the threads).
bool BoardState::ReadFrontEnd(Tuning& t)
{
    m_frontMutex.lock();
    const Status status = m_device.ReadTuning(t);
    m_frontMutex.unlock();
    if (status == Status::Gone)
        m_bGone = true;
    return status == Status::Ok;
}

CCommonDVB::ErrReturn BoardState::GetPid(Route slot, std::uint16_t& wPid)
{
    Lock lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    std::uint16_t wAudio = NoPid;
    std::uint16_t wVideo = NoPid;
    const Status status = m_device.ReadDecoderPids(wAudio, wVideo);
    if (status != Status::Ok)
        return ResultOf(status);
    const std::uint16_t w = slot == Route::Video ? wVideo : wAudio;
    if (w == NoPid)
        return ResNoPid;
    wPid = w;
    return CCommonDVB::Success;
}

// The tuning for a getter on the user-interface thread, which never waits
// for a tune: while one is under way, or the front end stays busy longer
// than FrontWaitMs (a monitor's watcher waiting behind another program's
// slow tune), the getter fails with ResTuning and the window keeps what it
// shows; it is told when the tune is done.
CCommonDVB::ErrReturn BoardState::ReadOpenTuning(Tuning& t)
{
    {
        Lock lock(m_mutex);
        if (!m_bOpen)
            return ResNotOpen;
        if (m_bTuning)
            return ResTuning;
    }
    if (!m_frontMutex.TryLockFor(FrontWaitMs))
        return ResTuning;
    const Status status = m_device.ReadTuning(t);
    m_frontMutex.unlock();
    if (status != Status::Ok)
        return ResultOf(status);
    return t.nFrequency == 0 ? ResNotTuned : CCommonDVB::Success;
}

CCommonDVB::ErrReturn BoardState::GetFrequency(std::uint32_t& nFrequency)
{
    Tuning t;
    const CCommonDVB::ErrReturn result = ReadOpenTuning(t);
    if (result != CCommonDVB::Success)
        return result;
    nFrequency = IsSatellite(t.system) ? t.nFrequency : Thousands(t.nFrequency);
    return CCommonDVB::Success;
}

CCommonDVB::ErrReturn BoardState::GetSymbolRate(std::uint32_t& nSymbolRate)
{
    Tuning t;
    const CCommonDVB::ErrReturn result = ReadOpenTuning(t);
    if (result != CCommonDVB::Success)
        return result;
    if (!t.bHasSymbolRate)
        return ResNotSupported;
    nSymbolRate = Thousands(t.nSymbolRate);
    return CCommonDVB::Success;
}

// --- Setting --------------------------------------------------------------------------

CCommonDVB::ErrReturn BoardState::SetPid(Route slot, std::uint16_t wPid)
{
    Lock lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    if (wPid > MaxPid)
        return ResOutOfRange;
    if (m_bReadOnly)
        return ResReadOnly;
    // Each PID reaches the output once: the video route always sends its
    // PID, the audio route only when the video does not have the same one
    // (otherwise it only holds the decoder slot).
    const auto audioToOutput = [this](std::uint16_t wAudio) { return wAudio != m_wAppliedVideo; };
    const std::uint16_t wOldVideo = m_wAppliedVideo;
    if (slot == Route::Video) {
        const Status status = m_device.SetRoute(Route::Video, wPid, true);
        if (status != Status::Ok) {
            // A refused value leaves the route stopped: put the last PID
            // back, so the decoder is as it was.
            if (wOldVideo != NoPid)
                m_device.SetRoute(Route::Video, wOldVideo, true);
            return ResultOf(status);
        }
        m_wAppliedVideo = wPid;
        // The audio route's output follows. If it cannot, the video goes
        // back too: the card is left as it was.
        if (m_wAppliedAudio != NoPid && (m_wAppliedAudio == wPid || m_wAppliedAudio == wOldVideo)) {
            const Status audio = m_device.SetRoute(Route::Audio, m_wAppliedAudio, audioToOutput(m_wAppliedAudio));
            if (audio != Status::Ok) {
                m_wAppliedVideo = wOldVideo;
                m_device.SetRoute(Route::Video, wOldVideo, true);
                m_device.SetRoute(Route::Audio, m_wAppliedAudio, audioToOutput(m_wAppliedAudio));
                return ResultOf(audio);
            }
        }
    } else {
        const Status status = m_device.SetRoute(Route::Audio, wPid, audioToOutput(wPid));
        if (status != Status::Ok) {
            if (m_wAppliedAudio != NoPid)
                m_device.SetRoute(Route::Audio, m_wAppliedAudio, audioToOutput(m_wAppliedAudio));
            return ResultOf(status);
        }
        m_wAppliedAudio = wPid;
    }
    // Our own change: the watcher must not report it (but still reports
    // what others changed meanwhile).
    (slot == Route::Video ? m_last.wVideoPid : m_last.wAudioPid) = wPid;
    // The PID is set; if its tables cannot go with it, a player may not
    // play it: the call says so.
    const Status tables = RouteSelection();
    return tables == Status::Ok ? CCommonDVB::Success : ResultOf(tables);
}

// --- The board ----------------------------------------------------------------------

// The board with the table reader: Board::Board(CardDevice&), in
// board_tables.cpp.
Board::Board(CardDevice& device, DeviceFollowsTables) : m_pState(new BoardState(device, nullptr)) {}

Board::~Board()
{
    m_pState->StopThreads();
    delete m_pState;
}

DVBErrReturn Board::Open(HWND hWnd, ChangeCallback pfnChanged, void* pContext)
{
    return m_pState->Open(hWnd, pfnChanged, pContext);
}

DVBErrReturn Board::Close(HWND hWnd)
{
    return m_pState->Close(hWnd);
}

CCommonDVB::ErrReturn Board::GetAudioPid(std::uint16_t& wPid)
{
    return m_pState->GetPid(Route::Audio, wPid);
}

CCommonDVB::ErrReturn Board::GetVideoPid(std::uint16_t& wPid)
{
    return m_pState->GetPid(Route::Video, wPid);
}

CCommonDVB::ErrReturn Board::SetAudioPid(std::uint16_t wPid)
{
    return m_pState->SetPid(Route::Audio, wPid);
}

CCommonDVB::ErrReturn Board::SetVideoPid(std::uint16_t wPid)
{
    return m_pState->SetPid(Route::Video, wPid);
}

CCommonDVB::ErrReturn Board::GetFrequency(std::uint32_t& nFrequency)
{
    return m_pState->GetFrequency(nFrequency);
}

CCommonDVB::ErrReturn Board::GetSymbolRate(std::uint32_t& nSymbolRate)
{
    return m_pState->GetSymbolRate(nSymbolRate);
}

CCommonDVB::ErrReturn Board::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    return m_pState->SetFrequency(nFrequency, nFlags);
}

}  // namespace dvbcard
