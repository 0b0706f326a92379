#include "platform/card/board_state.h"

#include <utility>

namespace dvbcard {

// Routes the PAT and the PMTs that go with the selected PIDs, from the
// program map; while the map is not known, the PAT alone, and the table
// reader is asked to read the map.
void BoardState::RouteSelection()
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
        }
        if (want.wPmt[1] == want.wPmt[0])
            want.wPmt[1] = NoPid;
        if (!m_bMapValid) {
            m_bNeedMap = true;
            m_readerWake.NotifyAll();
        }
    }
    ApplyTableRoute(want);
}

// Routes (or stops) one table PID.
void BoardState::RouteTable(Route route, std::uint16_t& wRouted, std::uint16_t wWanted)
{
    if (wRouted == wWanted)
        return;
    if (wWanted != NoPid && m_device.SetRoute(route, wWanted, true) == Status::Ok) {
        wRouted = wWanted;
        return;
    }
    m_device.SetRoute(route, NoPid, true);
    wRouted = NoPid;
}

void BoardState::ApplyTableRoute(const TableRoute& want)
{
    RouteTable(Route::Pat, m_routed.wPat, want.wPat);
    // A PMT already on one of the routes stays there.
    std::uint16_t wPmt[2] = {want.wPmt[0], want.wPmt[1]};
    if (wPmt[0] == m_routed.wPmt[1] || wPmt[1] == m_routed.wPmt[0])
        std::swap(wPmt[0], wPmt[1]);
    RouteTable(Route::Pmt, m_routed.wPmt[0], wPmt[0]);
    RouteTable(Route::SecondPmt, m_routed.wPmt[1], wPmt[1]);
}

// How long the program tables may take to arrive after a change (they
// repeat at least every 100 ms on air), and how often to try.
constexpr int TableTimeoutMs = 1500;
constexpr int TableAttempts = 3;

// The table reader: whenever the program map of the multiplex is wanted (a
// PID is selected and the card has been tuned since the map was read),
// reads the PAT and the PMTs on filters of its own, without the lock, and
// routes the tables that go with the selected PIDs. A map that came in part
// is used, and read again, up to TableAttempts times.
void BoardState::ReadTables()
{
    Lock lock(m_mutex);
    int nAttempts = 0;
    for (;;) {
        while (!m_bStop && !m_bNeedMap)
            m_readerWake.Wait(lock);
        if (m_bStop)
            return;
        m_bNeedMap = false;
        const unsigned nTuning = m_nTuning;
        lock.unlock();
        ProgramMap map;
        const MapResult result = ReadProgramMap(m_device, m_bStopping, TableTimeoutMs, map);
        lock.lock();
        if (m_bStop)
            return;
        if (nTuning != m_nTuning) {
            nAttempts = 0;   // retuned meanwhile: the map is asked for again
            continue;
        }
        m_map = std::move(map);
        m_bMapValid = result == MapResult::Complete || ++nAttempts >= TableAttempts;
        if (m_bMapValid) {
            nAttempts = 0;
            m_bNeedMap = false;   // asked for while it was being read
        }
        RouteSelection();
    }
}

}  // namespace dvbcard
