#include "platform/card/board_state.h"

#include <chrono>
#include <utility>
#include <vector>

namespace dvbcard {

// Routes the PAT, the PMTs that go with the selected PIDs and the clock
// (PCR) of the selected program, from the program map; while the map is not
// known, the PAT alone, and the table reader is asked to read the map. A
// player needs the clock to play: when it is on a PID of its own, it goes
// too (the video's program's first, else the audio's).
Status BoardState::RouteSelection()
{
    const std::uint16_t selected[2] = {m_wAppliedVideo, m_wAppliedAudio};
    const auto isSelected = [&](std::uint16_t w) { return w == selected[0] || w == selected[1]; };
    TableRoute want;
    if (selected[0] != NoPid || selected[1] != NoPid) {
        // A selected PID 0 or PMT PID reaches the output already: once is enough.
        want.wPat = isSelected(PatPid) ? NoPid : PatPid;
        for (int k = 0; k < 2; ++k) {
            const ProgramMap::Program* p = selected[k] != NoPid ? m_map.ProgramFor(selected[k]) : nullptr;
            const std::uint16_t wPmt = p != nullptr ? p->wPmtPid : NoPid;
            want.wPmt[k] = isSelected(wPmt) ? NoPid : wPmt;
            // 0x1fff: a program without a clock.
            if (p != nullptr && want.wPcr == NoPid && p->wPcrPid < NullPid && !isSelected(p->wPcrPid) &&
                p->wPcrPid != wPmt && p->wPcrPid != PatPid)
                want.wPcr = p->wPcrPid;
        }
        if (want.wPmt[1] == want.wPmt[0])
            want.wPmt[1] = NoPid;
        if (want.wPcr == want.wPmt[0] || want.wPcr == want.wPmt[1])
            want.wPcr = NoPid;
        if (!m_bMapValid)
            m_bNeedMap = true;
    }
    const Status status = ApplyTableRoute(want);
    // The reader looks again at what to read.
    m_readerWake.NotifyAll();
    return status;
}

// Routes (or stops) one table PID; how the route went.
Status BoardState::RouteTable(Route route, std::uint16_t& wRouted, std::uint16_t wWanted)
{
    if (wRouted == wWanted)
        return Status::Ok;
    Status status = Status::Ok;
    if (wWanted != NoPid && (status = m_device.SetRoute(route, wWanted, true)) == Status::Ok) {
        wRouted = wWanted;
        return status;
    }
    m_device.SetRoute(route, NoPid, true);
    wRouted = NoPid;
    return status;
}

// Routes the tables wanted; the first failure, or Ok.
Status BoardState::ApplyTableRoute(const TableRoute& want)
{
    Status first = RouteTable(Route::Pat, m_routed.wPat, want.wPat);
    const auto keep = [&first](Status s) {
        if (first == Status::Ok)
            first = s;
    };
    // A PMT already on one of the routes stays there.
    std::uint16_t wPmt[2] = {want.wPmt[0], want.wPmt[1]};
    if (wPmt[0] == m_routed.wPmt[1] || wPmt[1] == m_routed.wPmt[0])
        std::swap(wPmt[0], wPmt[1]);
    keep(RouteTable(Route::Pmt, m_routed.wPmt[0], wPmt[0]));
    keep(RouteTable(Route::SecondPmt, m_routed.wPmt[1], wPmt[1]));
    keep(RouteTable(Route::Pcr, m_routed.wPcr, want.wPcr));
    return first;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long the program tables may take to arrive once the front end has a
// lock (they repeat at least every 100 ms on air); how often to look for
// the lock; how soon to read again a map that came in part; how often to
// look at the selected programs' PMTs for a new version.
constexpr int TableTimeoutMs = 1500;
constexpr int LockPollMs = 200;
constexpr int RetryMs = 500;
constexpr int PmtCheckMs = 2000;

int MsUntil(Clock::time_point when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) + 1 : 1;
}

}  // namespace

// The table reader. Whenever the program map of the multiplex is wanted (a
// PID is selected and the card has been tuned since the map was read), it
// waits until the front end reports a lock, so the tables come from the
// multiplex the card is now on, then reads the PAT and the PMTs on filters
// of its own, without the lock, and routes the tables that go with the
// selected PIDs. A map that came in part (a PAT that is empty or missing, a
// PMT that did not come or did not parse) is used, and read again while the
// tune lasts. Once the map is whole, the PMTs routed are read again every
// PmtCheckMs, and a new version is followed.
void BoardState::ReadTables()
{
    Lock lock(m_mutex);
    Clock::time_point nextTry{};     // for m_nTuning == nTryTuning
    unsigned nTryTuning = m_nTuning - 1;
    Clock::time_point nextCheck{};
    for (;;) {
        if (m_bStop)
            return;
        if (m_bGone) {
            m_readerWake.Wait(lock);
            continue;
        }
        const unsigned nTuning = m_nTuning;
        const bool bRoutesPmt = m_routed.wPmt[0] != NoPid || m_routed.wPmt[1] != NoPid;
        const bool bWaitToTry = m_bNeedMap && nTryTuning == nTuning && Clock::now() < nextTry;
        const bool bCheck = !m_bNeedMap && m_bMapValid && bRoutesPmt;
        if (bWaitToTry) {
            m_readerWake.WaitFor(lock, MsUntil(nextTry));
            continue;
        }
        if (bCheck && Clock::now() < nextCheck) {
            m_readerWake.WaitFor(lock, MsUntil(nextCheck));
            continue;
        }
        if (!m_bNeedMap && !bCheck) {
            m_readerWake.Wait(lock);
            continue;
        }

        if (m_bNeedMap) {
            bool bLocked = false;
            if (!FrontEndLocked(lock, bLocked) || !bLocked) {
                nTryTuning = nTuning;
                nextTry = Clock::now() + std::chrono::milliseconds(LockPollMs);
                continue;
            }
            m_bNeedMap = false;
            lock.unlock();
            ProgramMap map;
            const MapResult result = ReadProgramMap(m_device, m_bStopping, TableTimeoutMs, map);
            lock.lock();
            if (m_bStop)
                return;
            if (nTuning != m_nTuning)
                continue;   // retuned meanwhile: the map is asked for again
            m_map = std::move(map);
            m_bMapValid = result == MapResult::Complete;
            if (m_bMapValid) {
                m_bNeedMap = false;   // asked for while it was being read
                nextCheck = Clock::now() + std::chrono::milliseconds(PmtCheckMs);
            } else {
                nTryTuning = nTuning;
                nextTry = Clock::now() + std::chrono::milliseconds(RetryMs);
            }
            RouteSelection();
            continue;
        }

        // The routed programs' PMTs, again.
        std::vector<ProgramMap::Program> programs;
        for (const ProgramMap::Program& p : m_map.programs)
            if (p.wPmtPid == m_routed.wPmt[0] || p.wPmtPid == m_routed.wPmt[1])
                programs.push_back(p);
        lock.unlock();
        std::vector<ProgramMap::Program> fresh;
        for (const ProgramMap::Program& p : programs) {
            ProgramMap::Program now = p;
            if (ReadPmt(m_device, m_bStopping, TableTimeoutMs, now) == MapResult::Complete &&
                now.nVersion != p.nVersion)
                fresh.push_back(std::move(now));
        }
        lock.lock();
        if (m_bStop)
            return;
        nextCheck = Clock::now() + std::chrono::milliseconds(PmtCheckMs);
        if (nTuning != m_nTuning || !m_bMapValid || fresh.empty())
            continue;
        for (ProgramMap::Program& now : fresh)
            for (ProgramMap::Program& p : m_map.programs)
                if (p.wNumber == now.wNumber && p.wPmtPid == now.wPmtPid)
                    p = std::move(now);
        RouteSelection();
    }
}

// Whether the front end has a lock; false if it cannot be read, or while a
// tune is under way. Called with m_mutex held, it lets go of it meanwhile.
bool BoardState::FrontEndLocked(Lock& lock, bool& bLocked)
{
    if (m_bTuning)
        return false;
    lock.unlock();
    m_frontMutex.lock();
    const Status status = m_device.ReadLock(bLocked);
    m_frontMutex.unlock();
    lock.lock();
    if (status == Status::Gone)
        m_bGone = true;
    return status == Status::Ok && !m_bTuning;
}

}  // namespace dvbcard
