// Tuning, on a thread of its own. A tuner's driver keeps the front end
// busy while it tunes (the kernel's front-end thread holds its semaphore;
// many tuners take from a few hundred milliseconds to seconds), and every
// front-end call waits for it. So SetFrequency hands the tune to the tuner
// thread and waits for it at most SyncTuneMs: a quick tuner answers in
// time, as if tuned in place; a slow one is answered ResTuning, the
// getters answer ResTuning while it lasts, and the window is told when the
// card is done, so the boxes then show what the card reports.
#include "platform/card/board_state.h"

#include <algorithm>
#include <chrono>

namespace dvbcard {

CCommonDVB::ErrReturn BoardState::SetFrequency(std::uint32_t nFrequency, int nFlags)
{
    Lock lock(m_mutex);
    if (!m_bOpen)
        return ResNotOpen;
    if (nFlags != KeepOtherParameters)
        return ResBadFlags;
    if (m_bReadOnly)
        return ResReadOnly;
    if (m_bGone)
        return ResDeviceError;
    return RequestTune(nFrequency, false, lock);
}

// Hands a tune to the tuner thread: to nFrequency (kHz), or with bReapply
// to what the front end reports. While another is under way, the request
// waits (replacing one that waits already) and the answer is ResTuning;
// otherwise the tune's own result, if it is done within SyncTuneMs.
CCommonDVB::ErrReturn BoardState::RequestTune(std::uint32_t nFrequency, bool bReapply, Lock& lock)
{
    m_nRequest = nFrequency;
    m_bRequestReapply = bReapply;
    m_bHasRequest = true;
    const unsigned nId = ++m_nIssued;
    m_tunerWake.NotifyAll();
    if (m_bTuning) {
        m_bTellWhenDone = true;
        return ResTuning;
    }
    m_bTuning = true;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(SyncTuneMs);
    for (auto now = Clock::now(); m_nDone < nId && now < deadline; now = Clock::now())
        m_tuneDone.WaitFor(lock, static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
    if (m_nDone >= nId)
        return m_tuneResult;
    m_bTellWhenDone = true;
    return ResTuning;
}

// The tuner thread: one request at a time, the latest next.
void BoardState::Tune()
{
    Lock lock(m_mutex);
    for (;;) {
        while (!m_bStop && !m_bHasRequest)
            m_tunerWake.Wait(lock);
        if (m_bStop)
            return;
        const std::uint32_t nFrequency = m_nRequest;
        const bool bReapply = m_bRequestReapply;
        const unsigned nId = m_nIssued;
        m_bHasRequest = false;
        lock.unlock();
        Tuning after;
        m_frontMutex.lock();
        const CCommonDVB::ErrReturn result = ApplyTune(nFrequency, bReapply, after);
        m_frontMutex.unlock();
        lock.lock();
        if (result == CCommonDVB::Success)
            FinishOwnTune(after);
        m_tuneResult = result;
        m_nDone = nId;
        if (m_bHasRequest && !m_bStop)
            continue;   // a later step: the window hears when that is done
        m_bTuning = false;
        m_tuneDone.NotifyAll();
        if (m_bTellWhenDone && !m_bStop) {
            m_bTellWhenDone = false;
            const ChangeCallback pfnChanged = m_pfnChanged;
            void* const pContext = m_pContext;
            lock.unlock();
            if (pfnChanged != nullptr)
                pfnChanged(pContext);
            lock.lock();
        }
    }
}

// One tune, with m_frontMutex held and m_mutex not: the checks, the tune,
// and the read that waits for the driver to finish; after holds the card's
// tuning then. A refused retune puts the old frequency back.
CCommonDVB::ErrReturn BoardState::ApplyTune(std::uint32_t nFrequency, bool bReapply, Tuning& after)
{
    const auto failed = [this](Status status) {
        if (status == Status::Gone)
            m_bGone = true;
        return ResultOf(status);
    };
    // Fresh parameters, so everything but the frequency stays as it is.
    Tuning before;
    Status status = m_device.ReadTuning(before);
    if (status != Status::Ok)
        return failed(status);
    if (bReapply) {
        if (before.nFrequency == 0)
            return ResNotTuned;
        BeginOwnTune();
        status = m_device.Retune(before.nFrequency);
    } else if (before.nFrequency == 0) {
        // Never tuned: nothing to keep.
        const CCommonDVB::ErrReturn result = TuneFirstTime(nFrequency, before.system);
        if (result != CCommonDVB::Success)
            return result;
    } else {
        std::uint64_t nTarget = nFrequency;
        if (!IsSatellite(before.system))
            nTarget *= 1000;   // kHz -> Hz
        bool bInRange = false;
        if (nTarget > UINT32_MAX)
            return ResOutOfRange;
        if ((status = InRange(std::uint64_t{nFrequency} * 1000, bInRange)) != Status::Ok)
            return failed(status);
        if (!bInRange)
            return ResOutOfRange;
        BeginOwnTune();
        status = m_device.Retune(static_cast<std::uint32_t>(nTarget));
        if (status != Status::Ok) {
            // A refused retune leaves the card as it was.
            m_device.Retune(before.nFrequency);
            return failed(status);
        }
    }
    if (status != Status::Ok)
        return failed(status);
    // Waits while the driver tunes.
    status = m_device.ReadTuning(after);
    return status == Status::Ok ? CCommonDVB::Success : failed(status);
}

// Whether a frequency (Hz) is within the front end's range.
Status BoardState::InRange(std::uint64_t nHz, bool& bInRange)
{
    FrontendInfo info;
    const Status status = m_device.ReadInfo(info);
    if (status == Status::Ok)
        bInRange = nHz >= info.nMinHz && (info.nMaxHz == 0 || nHz <= info.nMaxHz);
    return status;
}

CCommonDVB::ErrReturn BoardState::TuneFirstTime(std::uint32_t nFrequency, System oldSystem)
{
    FrontendInfo info;
    Status status = m_device.ReadInfo(info);
    if (status != Status::Ok)
        return ResultOf(status);
    std::uint32_t systems[FrontendInfo::MaxSystems];
    const int nSystems = std::min(std::max(info.nSystems, 0), FrontendInfo::MaxSystems);
    for (int i = 0; i < nSystems; ++i)
        systems[i] = static_cast<std::uint32_t>(info.systems[i]);
    const auto sys = static_cast<System>(FirstTuneSystem(systems, nSystems));
    if (sys == System::Undefined)
        return ResSatelliteNotTuned;
    const std::uint64_t nTarget = std::uint64_t{nFrequency} * 1000;   // kHz -> Hz
    if (nTarget > UINT32_MAX || nTarget < info.nMinHz || (info.nMaxHz != 0 && nTarget > info.nMaxHz))
        return ResOutOfRange;

    const TuneParameters p = FirstTuneParameters(sys, static_cast<std::uint32_t>(nTarget), info);
    BeginOwnTune();
    status = m_device.Tune(p);
    if (status != Status::Ok) {
        // Back to the old system, with no frequency, as never tuned.
        m_device.Untune(oldSystem);
        return ResultOf(status);
    }
    return CCommonDVB::Success;
}

void BoardState::BeginOwnTune()
{
    Lock lock(m_mutex);
    StartOwnTune();
}

// The card leaves its multiplex: its tables are read again once the tune
// is done and the front end has a lock; until then no PMT goes out.
void BoardState::StartOwnTune()
{
    m_bOwnTune = false;
    ++m_nTuning;
    m_bMapValid = false;
    m_map = ProgramMap{};
    RouteSelection();
}

// One of our own tunes is done: the watcher must not report it.
void BoardState::FinishOwnTune(const Tuning& after)
{
    m_ownTune = after;
    m_bOwnTune = true;
    const Reading now = ReadingOf(after);
    m_last.system = now.system;
    m_last.nFrequency = now.nFrequency;
    m_last.bHasSymbolRate = now.bHasSymbolRate;
    m_last.nSymbolRate = now.nSymbolRate;
    m_readerWake.NotifyAll();
}

}  // namespace dvbcard
