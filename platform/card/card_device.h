// A DVB card in its own terms: one tuner front end, and a demultiplexer
// that routes PIDs to the tool's output (the DVR device on Linux, the
// captured transport stream on Windows) and hands out program table
// sections.
//
// The card library (card_board.h) is written once over this interface and
// keeps every rule of card_library.h: the units at that interface and their
// rounding, the range check, the first tune's defaults, what a retune keeps,
// undoing a refused change, the PID range, which tables go with which PID,
// the result codes, the monitor and the watcher. A back end does what it is
// told and reports what the device reports, nothing more.
//
// Units here are the device's own:
//   frequency    Hz on cable and terrestrial systems; kHz on satellite
//                systems (the intermediate frequency after the LNB, as the
//                front end reports it)
//   range        Hz for every system (see FrontendInfo)
//   symbol rate  symbols per second
//   bandwidth    Hz
//   PIDs         0..8191; NoPid for none
//
// Threads: the board makes the front-end, routing and open/close calls one
// at a time (never two at once), from any of its threads. The section calls
// (OpenSections, WaitSections, ReadSection, CloseSections) come from one
// other thread, the board's table reader, and may run at the same time as
// those; Interrupt may come from any thread at any time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dvbcard {

constexpr std::uint16_t NoPid = 0xffff;
constexpr std::uint16_t MaxPid = 8191;

// Delivery systems, numbered as the Linux DVB API numbers them
// (fe_delivery_system_t): a back end elsewhere maps its own onto these.
enum class System : std::uint32_t {
    Undefined = 0,
    DvbCAnnexA = 1,
    DvbCAnnexB = 2,
    DvbT = 3,
    Dss = 4,
    DvbS = 5,
    DvbS2 = 6,
    DvbH = 7,
    IsdbT = 8,
    IsdbS = 9,
    IsdbC = 10,
    Atsc = 11,
    AtscMh = 12,
    Dtmb = 13,
    Cmmb = 14,
    Dab = 15,
    DvbT2 = 16,
    Turbo = 17,
    DvbCAnnexC = 18,
};

// What a device call came to.
enum class Status {
    Ok,
    Refused,        // the device refused the value (out of its range, a
                    // decoder slot another handle owns, a bad parameter)
    Denied,         // not allowed: the device is open read-only
    Failed,         // the device failed (I/O error, busy, timed out)
    Gone,           // the device has gone (unplugged, driver unbound): the
                    // back end has already let go of every handle it could,
                    // and every later call but Close fails with Gone
    NotSupported,   // the device or its driver cannot do it
};

// How the card was opened.
enum class Access {
    None,      // not open
    Owner,     // the front end and the demux may be set
    Monitor,   // read only: another program tunes the card, or this user
               // may only look. Tune, Retune, Untune and SetRoute fail
               // with Denied, and nothing the device is asked changes it.
};

// What the front end reports it is tuned to.
struct Tuning
{
    System system = System::Undefined;
    std::uint32_t nFrequency = 0;    // Hz (satellite: kHz); 0: never tuned
    std::uint32_t nSymbolRate = 0;   // symbols per second; 0 without one
    bool bHasSymbolRate = false;     // false on systems without a symbol
                                     // rate (terrestrial)
};

enum class Modulation : std::uint32_t { Auto, Qpsk, Qam16, Qam32, Qam64, Qam128, Qam256, Vsb8 };
enum class CodeRate : std::uint32_t { Auto, None, Rate1_2, Rate2_3, Rate3_4, Rate5_6, Rate7_8 };
enum class GuardInterval : std::uint32_t { Auto, Guard1_32, Guard1_16, Guard1_8, Guard1_4 };
enum class TransmissionMode : std::uint32_t { Auto, Mode2K, Mode8K };
enum class Hierarchy : std::uint32_t { Auto, None };

// A full set of tuning parameters, for a front end with nothing to keep.
// Fields a system does not have are ignored by the back end.
struct TuneParameters
{
    System system = System::Undefined;
    std::uint32_t nFrequency = 0;    // Hz (satellite: kHz)
    std::uint32_t nSymbolRate = 0;   // symbols per second (cable, satellite)
    std::uint32_t nBandwidth = 0;    // Hz (terrestrial); 0: automatic
    Modulation modulation = Modulation::Auto;
    CodeRate codeRate = CodeRate::Auto;   // inner FEC; terrestrial: the
                                          // high- and low-priority rates
    bool bInversionAuto = true;           // false: inversion off
    GuardInterval guard = GuardInterval::Auto;                // terrestrial
    TransmissionMode transmission = TransmissionMode::Auto;   // terrestrial
    Hierarchy hierarchy = Hierarchy::Auto;                    // terrestrial
};

// What the front end is and can do.
struct FrontendInfo
{
    static constexpr int MaxSystems = 20;
    System systems[MaxSystems] = {};   // the delivery systems it can receive
    int nSystems = 0;
    // Its frequency range in Hz, whatever unit the device states it in
    // (a Linux front end states it in kHz while it sits on a satellite
    // system); nMaxHz 0: no upper limit stated.
    std::uint64_t nMinHz = 0;
    std::uint64_t nMaxHz = 0;
    // What it finds out by itself when told "automatic".
    bool bInversionAuto = false;
    bool bCodeRateAuto = false;
    bool bModulationAuto = false;   // QAM
    bool bBandwidthAuto = false;
    bool bTransmissionModeAuto = false;
    bool bGuardIntervalAuto = false;
    bool bHierarchyAuto = false;
};

// The demux's routes to the output. Video and Audio also hold the decoder
// slot of their kind, so ReadDecoderPids reports them; the others route
// program tables and the clock.
enum class Route { Video, Audio, Pat, Pmt, SecondPmt, Pcr };
constexpr int RouteCount = 6;

class CardDevice
{
public:
    virtual ~CardDevice() = default;

    // Opens the card: as its owner when the front end is free and may be
    // written, otherwise as a monitor. Returns 0 and the access, or the
    // code DVB_OpenBoard reports (the back end's own, documented), with
    // access None when nothing is left open, or Monitor when the card is
    // open read-only all the same (the code says why).
    virtual std::uint32_t Open(Access& access) = 0;
    // Stops every route and lets go of everything Open acquired; 0, or the
    // code of the first release that failed. Harmless when not open.
    virtual std::uint32_t Close() = 0;

    // --- The front end ------------------------------------------------------

    virtual Status ReadInfo(FrontendInfo& info) = 0;
    // The current tuning. A front end that has never been tuned reads
    // frequency 0, with the system it sits on, and Ok.
    virtual Status ReadTuning(Tuning& tuning) = 0;
    // Whether the front end has a lock on a signal now.
    virtual Status ReadLock(bool& bLocked) = 0;
    // Tunes with exactly these parameters (a first tune). The call may
    // return before the tuner has locked; ReadLock tells.
    virtual Status Tune(const TuneParameters& parameters) = 0;
    // Tunes to nFrequency (Hz; satellite: kHz) and keeps the delivery
    // system and every other parameter as the front end has them now.
    virtual Status Retune(std::uint32_t nFrequency) = 0;
    // Puts the front end back on system with no frequency, as if it had
    // never been tuned: undoes a first tune that failed.
    virtual Status Untune(System system) = 0;

    // --- The demux ------------------------------------------------------------

    // Routes wPid to the output on route r, in place of what r routed;
    // NoPid stops r. bToOutput false holds the decoder slot (Video, Audio)
    // without sending the packets to the output a second time. A refused
    // PID leaves the route stopped.
    virtual Status SetRoute(Route r, std::uint16_t wPid, bool bToOutput) = 0;
    // The PIDs the card's audio and video decoder slots route now, whoever
    // set them: NoPid for a slot that routes nothing, or that the device
    // cannot tell from a stale entry without changing anything.
    virtual Status ReadDecoderPids(std::uint16_t& wAudio, std::uint16_t& wVideo) = 0;

    // --- Program table sections -----------------------------------------------

    // A filter of its own for the sections of table nTableId on wPid, and
    // with nProgram >= 0 only those whose table id extension (a PMT's
    // program number) is nProgram; sections whose CRC fails are dropped
    // where the device can check it. Returns a filter number >= 0, or -1
    // when the device refuses another filter (a caller then makes do with
    // fewer at once).
    virtual int OpenSections(std::uint16_t wPid, std::uint8_t nTableId, int nProgram) = 0;
    // Waits up to nTimeoutMs for a section on any of the n filters; sets
    // bReady[i] for those that have one. Returns the number ready, 0 on
    // time-out, -1 after Interrupt or when the device failed.
    virtual int WaitSections(const int* pFilters, bool* bReady, std::size_t n, int nTimeoutMs) = 0;
    // One whole section, from its table id to its CRC, into buf; its length,
    // 0 when none is ready, -1 when the device failed.
    virtual std::ptrdiff_t ReadSection(int nFilter, std::uint8_t* buf, std::size_t nSize) = 0;
    virtual void CloseSections(int nFilter) = 0;

    // Ends every WaitSections at once, and makes every later one return -1
    // until the next Open.
    virtual void Interrupt() = 0;
};

}  // namespace dvbcard
