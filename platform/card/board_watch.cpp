#include "platform/card/board_state.h"

#include <chrono>

namespace dvbcard {
namespace {

// How far from the frequency the tool tuned to the front end's reading may
// move without being another program's doing: drivers report the frequency
// they found the signal on once they lock. 1 MHz, in the device's unit.
std::uint32_t OwnTuneTolerance(System system)
{
    return IsSatellite(system) ? 1000 : 1000000;
}

std::uint32_t Distance(std::uint32_t a, std::uint32_t b)
{
    return a > b ? a - b : b - a;
}

}  // namespace

// What the window shows of a reading: frequency in kHz, symbol rate in kSym/s.
bool BoardState::ShowsTheSame(const Reading& a, const Reading& b)
{
    const auto shown = [](const Reading& r, std::uint32_t n) { return IsSatellite(r.system) ? n : Thousands(n); };
    return a.system == b.system && shown(a, a.nFrequency) == shown(b, b.nFrequency) &&
           a.bHasSymbolRate == b.bHasSymbolRate && Thousands(a.nSymbolRate) == Thousands(b.nSymbolRate) &&
           a.wAudioPid == b.wAudioPid && a.wVideoPid == b.wVideoPid;
}

// Whether a reading is the tool's own last tune, settling: the same system
// and PIDs, the frequency near the one tuned to.
bool BoardState::IsOwnTuneSettling(const Reading& r) const
{
    return m_bOwnTune && r.system == m_ownTune.system && r.wAudioPid == m_last.wAudioPid &&
           r.wVideoPid == m_last.wVideoPid && r.bHasSymbolRate == m_last.bHasSymbolRate &&
           Distance(r.nFrequency, m_ownTune.nFrequency) <= OwnTuneTolerance(r.system) &&
           Distance(Thousands(r.nSymbolRate), Thousands(m_last.nSymbolRate)) <= 1;
}

// The watcher: about once a second, reads what the window shows, and when
// another program has changed any of it, tells the window. It sleeps on a
// condition variable, so a close stops it at once.
void BoardState::Watch()
{
    using Clock = SteadyClock;
    Lock lock(m_mutex);
    for (;;) {
        const auto due = Clock::now() + std::chrono::milliseconds(WatchIntervalMs);
        for (auto now = Clock::now(); !m_bStop && now < due; now = Clock::now())
            m_wake.WaitFor(lock, static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1));
        if (m_bStop)
            return;
        if (m_bGone) {
            // Nothing left to watch: every call fails from now on.
            while (!m_bStop)
                m_wake.Wait(lock);
            return;
        }
        // The tuner thread reads the card when its tune is done.
        if (m_bTuning)
            continue;
        lock.unlock();
        Tuning t;
        const bool bRead = ReadFrontEnd(t);
        lock.lock();
        if (m_bStop)
            return;
        // A failed read is not a change: the window keeps what it shows. A
        // tune begun meanwhile makes the reading old.
        if (!bRead || m_bTuning)
            continue;
        Reading now = ReadingOf(t);
        if (m_device.ReadDecoderPids(now.wAudioPid, now.wVideoPid) != Status::Ok)
            continue;
        const bool bSame = ShowsTheSame(now, m_last) || IsOwnTuneSettling(now);
        m_last = now;
        if (bSame)
            continue;
        m_bOwnTune = false;   // another program has tuned since
        TellWindow(lock);
    }
}

void BoardState::TellWindow(Lock& lock)
{
    const ChangeCallback pfnChanged = m_pfnChanged;
    void* const pContext = m_pContext;
    lock.unlock();
    if (pfnChanged != nullptr)
        pfnChanged(pContext);
    lock.lock();
}

}  // namespace dvbcard
