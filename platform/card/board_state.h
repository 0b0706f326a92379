// The board's state, shared by its files: card_board.cpp (open, close, the
// getters and setters), board_routes.cpp (what reaches the output, the
// table reader's thread) and board_watch.cpp (the watcher's thread).
#pragma once

#include "platform/card/card_board.h"
#include "platform/card/program_tables.h"

#include "platform/card/board_threads.h"

#include <atomic>
#include <cstdint>

namespace dvbcard {

bool IsSatellite(System system);
bool IsCable(System system);
bool IsTerrestrial(System system);
// Hz -> kHz and Sym/s -> kSym/s, to the nearest.
std::uint32_t Thousands(std::uint32_t n);
// A device call's outcome as a decoder or front-end result.
CCommonDVB::ErrReturn ResultOf(Status status);

// What the watcher compares: the values the tool shows, and the delivery
// system that gives the frequency its unit. A front end that has never been
// tuned reads frequency 0.
struct Reading
{
    System system = System::Undefined;
    std::uint32_t nFrequency = 0;    // the device's unit
    std::uint32_t nSymbolRate = 0;   // symbols per second
    bool bHasSymbolRate = false;
    std::uint16_t wAudioPid = NoPid;
    std::uint16_t wVideoPid = NoPid;

    bool operator==(const Reading& o) const
    {
        return system == o.system && nFrequency == o.nFrequency && nSymbolRate == o.nSymbolRate &&
               bHasSymbolRate == o.bHasSymbolRate && wAudioPid == o.wAudioPid && wVideoPid == o.wVideoPid;
    }
    bool operator!=(const Reading& o) const { return !(*this == o); }
};

// The program tables and the clock routed to the output with the selected
// PIDs.
struct TableRoute
{
    std::uint16_t wPat = NoPid;
    std::uint16_t wPmt[2] = {NoPid, NoPid};
    std::uint16_t wPcr = NoPid;
};

// Every device call is made under m_mutex, from the user-interface thread,
// the watcher or the table reader; only the reader's waits for sections run
// outside it, on filters of their own.
class BoardState
{
public:
    explicit BoardState(CardDevice& device) : m_device(device) {}

    DVBErrReturn Open(HWND hWnd, ChangeCallback pfnChanged, void* pContext);
    DVBErrReturn Close(HWND hWnd);
    CCommonDVB::ErrReturn GetPid(Route slot, std::uint16_t& wPid);
    CCommonDVB::ErrReturn SetPid(Route slot, std::uint16_t wPid);
    CCommonDVB::ErrReturn GetFrequency(std::uint32_t& nFrequency);
    CCommonDVB::ErrReturn GetSymbolRate(std::uint32_t& nSymbolRate);
    CCommonDVB::ErrReturn SetFrequency(std::uint32_t nFrequency, int nFlags);
    void StopThreads();

private:
    // The lock held in all of these.
    bool Read(Reading& r);
    CCommonDVB::ErrReturn ReadOpenTuning(Tuning& t);
    CCommonDVB::ErrReturn TuneFirstTime(std::uint32_t nFrequency, System oldSystem);
    Status InRange(std::uint64_t nHz, bool& bInRange);
    void TakeOwnTuning();
    void ReapplyTuning();
    Status RouteSelection();
    Status ApplyTableRoute(const TableRoute& want);
    Status RouteTable(Route route, std::uint16_t& wRouted, std::uint16_t wWanted);
    void Reset();
    static bool ShowsTheSame(const Reading& a, const Reading& b);
    bool IsOwnTuneSettling(const Reading& r) const;
    bool FrontEndLocked(bool& bLocked);

    // The threads.
    void Watch();
    void ReadTables();
    static void RunWatcher(void* pState) { static_cast<BoardState*>(pState)->Watch(); }
    static void RunReader(void* pState) { static_cast<BoardState*>(pState)->ReadTables(); }

    CardDevice& m_device;
    Mutex m_mutex;
    bool m_bOpen = false;
    bool m_bReadOnly = false;
    HWND m_hWnd = nullptr;
    ChangeCallback m_pfnChanged = nullptr;
    void* m_pContext = nullptr;
    std::uint16_t m_wAppliedVideo = NoPid;
    std::uint16_t m_wAppliedAudio = NoPid;
    TableRoute m_routed;
    ProgramMap m_map;           // of the multiplex the card is on
    bool m_bMapValid = false;   // false until read after each tune
    bool m_bNeedMap = false;    // for the reader: read it
    unsigned m_nTuning = 0;     // counts our tunes

    Reading m_last;   // what the window was last told about
    Tuning m_ownTune;   // what the tool last tuned to, while m_bOwnTune
    bool m_bOwnTune = false;
    Thread m_watcher;
    Thread m_reader;
    CondVar m_wake;
    CondVar m_readerWake;
    bool m_bStop = false;
    bool m_bGone = false;   // the device has gone: the threads rest
    std::atomic<bool> m_bStopping{false};   // m_bStop, for the reader's waits
};

// Reads the multiplex's program map through the device's section filters:
// the PAT, then every program's PMT (several at once, each on a filter of
// its own). nTimeoutMs is what the PAT, and each batch of PMTs, may take.
// Complete: every table came. Partial: the PAT or some PMT did not come in
// time, map holds what did. Stopped: bStop was set or the device failed.
// An empty PAT counts as one that did not come.
enum class MapResult { Complete, Partial, Stopped };
MapResult ReadProgramMap(CardDevice& device, const std::atomic<bool>& bStop, int nTimeoutMs, ProgramMap& map);
// Reads program's PMT again (its number and PMT PID are given): its clock,
// its PIDs and its version. Complete when it came within nTimeoutMs.
MapResult ReadPmt(CardDevice& device, const std::atomic<bool>& bStop, int nTimeoutMs, ProgramMap::Program& program);

}  // namespace dvbcard
