#include "platform/card/board_state.h"

#include <algorithm>
#include <utility>

namespace dvbcard {

const ProgramMap::Program* ProgramMap::ProgramFor(std::uint16_t wPid) const
{
    for (const Program& p : programs)
        if (std::find(p.pids.begin(), p.pids.end(), wPid) != p.pids.end())
            return &p;
    return nullptr;
}

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

}  // namespace dvbcard
