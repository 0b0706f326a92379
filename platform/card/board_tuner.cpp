// Tuning without holding the user-interface thread. A tuner's driver keeps
// the front end busy while it tunes (the kernel's front-end thread holds
// its semaphore; many tuners take from a few hundred milliseconds to
// seconds), and every front-end call waits for it. So SetFrequency starts
// the tune and leaves the wait for it to the tuner thread, waiting for that
// at most SyncTuneMs: a quick tuner is done by then, as if tuned in place.
// While a slow one tunes, the frequency and symbol rate getters answer
// ResTuning, a step waits behind it (only the latest), and when the card
// is done the window is told, so the boxes then show what it reports.
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

namespace {

using Clock = SteadyClock;

int MsUntil(Clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) + 1 : 0;
}

}  // namespace

// A tune to nFrequency (kHz), or with bReapply to what the front end
// reports, all within SyncTuneMs. A tune under way is waited for; if it
// lasts longer, this one waits on the tuner thread (replacing one that
// waits already) and the answer is ResTuning. Otherwise the caller's
// thread checks and starts the tune itself, so its result does not depend
// on another thread, and the tuner thread waits while the driver tunes; the
// caller waits for that too, for the rest of SyncTuneMs.
CCommonDVB::ErrReturn BoardState::RequestTune(std::uint32_t nFrequency, bool bReapply, Lock& lock)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(SyncTuneMs);
    while (m_bTuning && MsUntil(deadline) > 0)
        m_tuneDone.WaitFor(lock, MsUntil(deadline));
    // Busy still, or the front end held by a read that waits: queue it.
    const auto queue = [&] {
        m_nRequest = nFrequency;
        m_bRequestReapply = bReapply;
        m_bHasRequest = true;
        m_bTuning = true;
        m_bTellWhenDone = true;
        m_tunerWake.NotifyAll();
        return ResTuning;
    };
    if (m_bTuning)
        return queue();
    m_bTuning = true;   // the front end is ours: no one else reads it now
    lock.unlock();
    const bool bFront = m_frontMutex.TryLockFor(std::max(MsUntil(deadline), 1));
    CCommonDVB::ErrReturn result = ResTuning;
    if (bFront) {
        result = StartTune(nFrequency, bReapply);
        m_frontMutex.unlock();
    }
    lock.lock();
    if (!bFront)
        return queue();
    if (result != CCommonDVB::Success) {
        m_bTuning = false;
        m_tuneDone.NotifyAll();
        return result;
    }
    // The driver tunes: the tuner thread waits for it.
    m_bAwaitTune = true;
    const unsigned nId = ++m_nIssued;
    m_tunerWake.NotifyAll();
    while (m_nDone < nId && MsUntil(deadline) > 0)
        m_tuneDone.WaitFor(lock, MsUntil(deadline));
    if (m_nDone >= nId)
        return m_tuneResult;
    // Tuned, and the card says so when it is done: the getters wait till then.
    m_bTellWhenDone = true;
    return CCommonDVB::Success;
}

// The tuner thread: waits while the driver tunes, then tunes what was
// queued meanwhile, the latest step only.
void BoardState::Tune()
{
    Lock lock(m_mutex);
    for (;;) {
        while (!m_bStop && !m_bHasRequest && !m_bAwaitTune)
            m_tunerWake.Wait(lock);
        if (m_bStop)
            return;
        const bool bStart = !m_bAwaitTune;
        const std::uint32_t nFrequency = m_nRequest;
        const bool bReapply = m_bRequestReapply;
        const unsigned nId = bStart ? ++m_nIssued : m_nIssued;
        m_bAwaitTune = false;
        if (bStart)
            m_bHasRequest = false;
        lock.unlock();
        Tuning after;
        m_frontMutex.lock();
        CCommonDVB::ErrReturn result = bStart ? StartTune(nFrequency, bReapply) : CCommonDVB::Success;
        if (result == CCommonDVB::Success)
            result = AwaitTune(after);
        m_frontMutex.unlock();
        lock.lock();
        if (result == CCommonDVB::Success)
            FinishOwnTune(after);
        m_tuneResult = result;
        m_nDone = nId;
        m_tuneDone.NotifyAll();
        if (m_bHasRequest && !m_bStop)
            continue;   // a later step: the window hears when that is done
        m_bTuning = false;
        m_tuneDone.NotifyAll();
        if (m_bTellWhenDone && !m_bStop) {
            m_bTellWhenDone = false;
            TellWindow(lock);
        }
    }
}

// Starts one tune, with m_frontMutex held and m_mutex not: the checks, then
// the tune. A refused retune puts the old frequency back.
CCommonDVB::ErrReturn BoardState::StartTune(std::uint32_t nFrequency, bool bReapply)
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
        return status == Status::Ok ? CCommonDVB::Success : failed(status);
    }
    if (before.nFrequency == 0)
        return TuneFirstTime(nFrequency, before.system);   // never tuned: nothing to keep

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
    return CCommonDVB::Success;
}

// The read that waits while the driver tunes; after holds the card's
// tuning then. With m_frontMutex held and m_mutex not.
CCommonDVB::ErrReturn BoardState::AwaitTune(Tuning& after)
{
    const Status status = m_device.ReadTuning(after);
    if (status == Status::Gone)
        m_bGone = true;
    return ResultOf(status);
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
