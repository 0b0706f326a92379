// The table reader: the board's thread that reads the multiplex's program
// map through the device's section filters (program_map.cpp, with the
// platform's parsers of program_tables.h). A board over a device that
// follows the tables itself has none, and links none of this.
#include "platform/card/board_state.h"

#include <chrono>
#include <utility>
#include <vector>

namespace dvbcard {

Board::Board(CardDevice& device) : m_pState(new BoardState(device, &BoardState::RunReader)) {}

namespace {

using Clock = SteadyClock;

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
