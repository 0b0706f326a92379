#include "platform/card/board_state.h"
#include "platform/card/program_tables.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace dvbcard {

namespace {

using Clock = SteadyClock;

// PMT section filters open at once, at most: a USB stick's hardware PID
// filter has 15 to 32 feeds in all, and the routes take up to 6.
constexpr std::size_t PmtBatch = 4;
// The longest section: 1021 bytes after the length field, and its header.
constexpr std::size_t MaxSection = 4096;

int MsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void Fill(ProgramMap::Program& program, const PmtSection& pmt)
{
    program.wPcrPid = pmt.wPcrPid;
    program.nVersion = pmt.nVersion;
    program.pids.push_back(pmt.wPcrPid);
    program.pids.insert(program.pids.end(), pmt.streams.begin(), pmt.streams.end());
}

// The programs of the multiplex, from every section of its PAT.
MapResult ReadPat(CardDevice& device, const std::atomic<bool>& bStop, Clock::time_point deadline,
                  std::vector<PatSection::Program>& programs)
{
    const int nFilter = device.OpenSections(PatPid, PatTableId, -1);
    if (nFilter < 0)
        return MapResult::Partial;
    bool bSeen[256] = {};
    int nLast = -1;
    bool bComplete = false;
    MapResult result = MapResult::Partial;
    std::vector<PatSection::Program> found;
    std::vector<std::uint8_t> buf(MaxSection);
    while (!bComplete && !bStop) {
        const int nLeft = MsLeft(deadline);
        bool bReady = false;
        const int nWait = nLeft > 0 ? device.WaitSections(&nFilter, &bReady, 1, nLeft) : 0;
        if (nWait < 0)
            result = MapResult::Stopped;
        if (nWait <= 0)
            break;
        const std::ptrdiff_t n = device.ReadSection(nFilter, buf.data(), buf.size());
        if (n < 0) {
            result = MapResult::Stopped;
            break;
        }
        PatSection pat;
        if (n == 0 || !ParsePatSection(buf.data(), static_cast<std::size_t>(n), pat))
            continue;
        if (bSeen[pat.nSection] || (nLast >= 0 && pat.nLastSection != nLast))
            continue;
        bSeen[pat.nSection] = true;
        nLast = pat.nLastSection;
        found.insert(found.end(), pat.programs.begin(), pat.programs.end());
        bComplete = std::all_of(bSeen, bSeen + nLast + 1, [](bool b) { return b; });
    }
    device.CloseSections(nFilter);
    if (!bComplete)
        return bStop ? MapResult::Stopped : result;
    for (const PatSection::Program& p : found)
        if (p.wNumber != 0)   // 0: the network PID
            programs.push_back(p);
    // A PAT without programs is a multiplex not yet received.
    return programs.empty() ? MapResult::Partial : MapResult::Complete;
}

}  // namespace

MapResult ReadProgramMap(CardDevice& device, const std::atomic<bool>& bStop, int nTimeoutMs, ProgramMap& map)
{
    std::vector<PatSection::Program> programs;
    const MapResult patResult =
        ReadPat(device, bStop, Clock::now() + std::chrono::milliseconds(nTimeoutMs), programs);
    if (patResult != MapResult::Complete)
        return patResult;
    bool bComplete = true;
    std::vector<std::uint8_t> buf(MaxSection);
    // Each program's streams, in the PAT's order: the first program listed
    // carries a shared PID.
    std::vector<std::optional<ProgramMap::Program>> found(programs.size());
    std::size_t nBatch = PmtBatch;
    for (std::size_t next = 0; next < programs.size();) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        std::vector<int> filters;
        std::vector<std::size_t> which;   // the program of each filter
        while (filters.size() < nBatch && next < programs.size()) {
            const PatSection::Program& p = programs[next];
            const int nFilter = device.OpenSections(p.wPmtPid, PmtTableId, p.wNumber);
            if (nFilter < 0 && filters.empty()) {
                bComplete = false;   // not even one filter: this PMT is missed
                ++next;
                continue;
            }
            if (nFilter < 0) {
                nBatch = filters.size();   // the demux's limit: fewer at once
                break;
            }
            filters.push_back(nFilter);
            which.push_back(next++);
        }
        while (!filters.empty() && !bStop) {
            const int nLeft = MsLeft(deadline);
            std::unique_ptr<bool[]> bReady(new bool[filters.size()]());
            if (nLeft <= 0 || device.WaitSections(filters.data(), bReady.get(), filters.size(), nLeft) <= 0)
                break;
            for (std::size_t i = filters.size(); i-- > 0;) {
                if (!bReady[i])
                    continue;
                const std::ptrdiff_t n = device.ReadSection(filters[i], buf.data(), buf.size());
                if (n == 0)
                    continue;
                PmtSection pmt;
                // A PMT that does not parse is no answer: the next copy may.
                if (n > 0 && !ParsePmtSection(buf.data(), static_cast<std::size_t>(n), pmt))
                    continue;
                if (n > 0) {
                    ProgramMap::Program& program = found[which[i]].emplace();
                    program.wNumber = programs[which[i]].wNumber;
                    program.wPmtPid = programs[which[i]].wPmtPid;
                    Fill(program, pmt);
                }
                device.CloseSections(filters[i]);
                filters.erase(filters.begin() + static_cast<std::ptrdiff_t>(i));
                which.erase(which.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        for (int nFilter : filters)
            device.CloseSections(nFilter);
        bComplete = bComplete && filters.empty();
        if (bStop)
            return MapResult::Stopped;   // closing
    }
    for (std::optional<ProgramMap::Program>& program : found)
        if (program)
            map.programs.push_back(std::move(*program));
    return bComplete ? MapResult::Complete : MapResult::Partial;
}

MapResult ReadPmt(CardDevice& device, const std::atomic<bool>& bStop, int nTimeoutMs, ProgramMap::Program& program)
{
    const int nFilter = device.OpenSections(program.wPmtPid, PmtTableId, program.wNumber);
    if (nFilter < 0)
        return MapResult::Partial;
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    std::vector<std::uint8_t> buf(MaxSection);
    MapResult result = MapResult::Partial;
    while (!bStop) {
        const int nLeft = MsLeft(deadline);
        bool bReady = false;
        const int nWait = nLeft > 0 ? device.WaitSections(&nFilter, &bReady, 1, nLeft) : 0;
        if (nWait <= 0) {
            if (nWait < 0)
                result = MapResult::Stopped;
            break;
        }
        const std::ptrdiff_t n = device.ReadSection(nFilter, buf.data(), buf.size());
        PmtSection pmt;
        if (n < 0) {
            result = MapResult::Stopped;
            break;
        }
        if (n > 0 && ParsePmtSection(buf.data(), static_cast<std::size_t>(n), pmt)) {
            program.pids.clear();
            Fill(program, pmt);
            result = MapResult::Complete;
            break;
        }
    }
    device.CloseSections(nFilter);
    return bStop ? MapResult::Stopped : result;
}

}  // namespace dvbcard
