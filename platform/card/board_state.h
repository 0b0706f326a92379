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

// How long SetFrequency (and an open, for its tuning again) waits for a
// tune: for one under way, and for its own to be done; longer than that,
// the getters answer ResTuning and the window is told when it is done. And how long the
// user-interface thread waits for a busy front end. A step (one set, four
// gets) so stays under 100 ms.
constexpr int SyncTuneMs = 70;
constexpr int FrontWaitMs = 20;

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

Reading ReadingOf(const Tuning& t);

// The program tables and the clock routed to the output with the selected
// PIDs.
struct TableRoute
{
    std::uint16_t wPat = NoPid;
    std::uint16_t wPmt[2] = {NoPid, NoPid};
    std::uint16_t wPcr = NoPid;
};

// Two locks. m_mutex guards the board's state, and the demux calls are made
// under it. m_frontMutex is held through every front-end call, which a slow
// tuner can make last seconds: it is taken before m_mutex, never while
// m_mutex is held (except by the open, before the threads start), and the
// user-interface thread only tries it for FrontWaitMs. Tunes run on the
// tuner thread (board_tuner.cpp). The table reader's waits for sections run
// under neither, on filters of their own (board_tables.cpp).
class BoardState
{
public:
    // pfnReader runs the table reader's thread (RunReader, board_tables.cpp);
    // null for a device that follows the program tables itself.
    BoardState(CardDevice& device, void (*pfnReader)(void*)) : m_device(device), m_pfnReader(pfnReader) {}
    static void RunReader(void* pState) { static_cast<BoardState*>(pState)->ReadTables(); }

    DVBErrReturn Open(HWND hWnd, ChangeCallback pfnChanged, void* pContext);
    DVBErrReturn Close(HWND hWnd);
    CCommonDVB::ErrReturn GetPid(Route slot, std::uint16_t& wPid);
    CCommonDVB::ErrReturn SetPid(Route slot, std::uint16_t wPid);
    CCommonDVB::ErrReturn GetFrequency(std::uint32_t& nFrequency);
    CCommonDVB::ErrReturn GetSymbolRate(std::uint32_t& nSymbolRate);
    CCommonDVB::ErrReturn SetFrequency(std::uint32_t nFrequency, int nFlags);
    void StopThreads();

private:
    bool ReadFrontEnd(Tuning& t);
    CCommonDVB::ErrReturn ReadOpenTuning(Tuning& t);
    // board_tuner.cpp: with m_frontMutex held.
    CCommonDVB::ErrReturn StartTune(std::uint32_t nFrequency, bool bReapply);
    CCommonDVB::ErrReturn AwaitTune(Tuning& after);
    CCommonDVB::ErrReturn TuneFirstTime(std::uint32_t nFrequency, System oldSystem);
    Status InRange(std::uint64_t nHz, bool& bInRange);
    void BeginOwnTune();
    // m_mutex held in these.
    CCommonDVB::ErrReturn RequestTune(std::uint32_t nFrequency, bool bReapply, Lock& lock);
    void StartOwnTune();
    void FinishOwnTune(const Tuning& after);
    Status RouteSelection();
    Status ApplyTableRoute(const TableRoute& want);
    Status RouteTable(Route route, std::uint16_t& wRouted, std::uint16_t wWanted);
    void Reset();
    static bool ShowsTheSame(const Reading& a, const Reading& b);
    bool IsOwnTuneSettling(const Reading& r) const;
    bool FrontEndLocked(Lock& lock, bool& bLocked);
    bool FrontEndLocked(bool& bLocked);
    // Tells the window that the card changed: the callback runs with m_mutex
    // let go, since the window may call back into the board.
    void TellWindow(Lock& lock);

    // The threads.
    void Watch();
    void ReadTables();
    static void RunWatcher(void* pState) { static_cast<BoardState*>(pState)->Watch(); }
    void Tune();
    static void RunTuner(void* pState) { static_cast<BoardState*>(pState)->Tune(); }

    CardDevice& m_device;
    void (*m_pfnReader)(void*);
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
    std::atomic<bool> m_bGone{false};   // the device has gone: the threads rest
    std::atomic<bool> m_bStopping{false};   // m_bStop, for the reader's waits

    // The tuner thread and its one request: the latest step replaces one
    // that has not started yet.
    TimedMutex m_frontMutex;
    Thread m_tuner;
    CondVar m_tunerWake;
    CondVar m_tuneDone;
    bool m_bTuning = false;       // a tune started or waiting: the front end is busy
    bool m_bAwaitTune = false;    // for the tuner thread: wait while the driver tunes
    bool m_bHasRequest = false;   // for the tuner thread: a tune to start
    std::uint32_t m_nRequest = 0;   // kHz
    bool m_bRequestReapply = false;
    unsigned m_nIssued = 0;       // requests made
    unsigned m_nDone = 0;         // the last one done, and its result
    CCommonDVB::ErrReturn m_tuneResult = CCommonDVB::Success;
    bool m_bTellWhenDone = false;   // a caller was answered ResTuning
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
