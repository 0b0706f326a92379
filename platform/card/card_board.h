// The card library once, over any card device (card_device.h): what
// card_library.h promises, with its rules, on whatever back end the
// platform's entry point gives it.
//
// Units at card_library.h's interface:
//   frequency    kHz. Cable and terrestrial devices work in Hz, converted
//                (rounded to the nearest kHz when read); satellite devices
//                already work in kHz (the intermediate frequency after the
//                LNB) and are passed unchanged.
//   symbol rate  kSym/s, rounded from the device's symbols per second.
//                Terrestrial systems have none: GetSymbolRate fails with
//                ResNotSupported.
//   PIDs         0..8191.
//
// Changes reach the window through the callback given to Open: it is
// called, from the watcher's thread, whenever another program has changed
// what the window shows. The entry point turns it into the registered
// window message "WM_DVB_PROGRAM_CHANGED".
#pragma once

#include "platform/card/card_device.h"
#include "platform/card/card_library.h"

#include <cstdint>

namespace dvbcard {

// Codes of DVB_OpenBoard and DVB_CloseBoard the board gives itself; the
// device's own codes (below 4096 on Linux: errno values) pass through.
constexpr std::uint32_t ErrAlreadyOpen = 4096;  // DVB_OpenBoard while open
constexpr std::uint32_t ErrWrongWindow = 4097;  // DVB_CloseBoard with another handle

// Results of the decoder and front-end calls other than success (1).
constexpr std::int32_t ResNotOpen = 0;          // the board is not open
constexpr std::int32_t ResOutOfRange = -1;      // PID above 8191, or a frequency
                                                // outside the front end's range
constexpr std::int32_t ResNoPid = -2;           // the decoder has no PID for the stream
constexpr std::int32_t ResReadOnly = -3;        // open as a monitor: setters refused
constexpr std::int32_t ResNotSupported = -4;    // the front end or driver lacks it
constexpr std::int32_t ResDeviceError = -5;     // the device failed or has gone
constexpr std::int32_t ResBadFlags = -6;        // SetFrequency's second argument
                                                // is not 1
constexpr std::int32_t ResRefused = -7;         // the driver refused the value,
                                                // e.g. another handle owns the
                                                // decoder slot
constexpr std::int32_t ResNotTuned = -8;        // the front end has never been
                                                // tuned: no frequency or symbol
                                                // rate to report
constexpr std::int32_t ResSatelliteNotTuned = -9;  // SetFrequency on a satellite
                                                   // front end that has never been
                                                   // tuned: refused, untouched
constexpr std::int32_t ResTuning = -10;   // the card is tuning (a slow tuner):
                                          // the frequency and symbol rate can be
                                          // read when it is done, and the window
                                          // is told then. From SetFrequency: the
                                          // step waits behind a tune under way
                                          // (only the latest step follows it)

// SetFrequency's second argument: retune to the new frequency and keep the
// current delivery system, symbol rate, modulation, inner FEC, inversion,
// bandwidth and the rest, as the front end reports them. It is the only
// value accepted; any other is refused with ResBadFlags, untouched.
//
// A front end that has never been tuned has nothing to keep; it is tuned
// with defaults (FirstTuneParameters). The system: cable when the front end
// can do it (the tool's grid and its symbol rate are cable's), otherwise
// terrestrial. Each parameter is automatic only where the front end says it
// can find it by itself, otherwise a fixed value: cable
// DefaultCableSymbolRate, QAM-256, no inner FEC; terrestrial 8 MHz
// bandwidth, 64-QAM, code rate 2/3, guard interval 1/4, 8K, no hierarchy
// (ATSC: 8-VSB); inversion off. A front end that can only receive satellite
// is refused with ResSatelliteNotTuned: the grid is no satellite frequency,
// and the LNB, polarisation and symbol rate are unknown.
constexpr int KeepOtherParameters = 1;
constexpr std::uint32_t DefaultCableSymbolRate = 6900000;   // symbols per second
constexpr std::uint32_t DefaultTerrestrialBandwidth = 8000000;   // Hz

TuneParameters FirstTuneParameters(System system, std::uint32_t nFrequency, const FrontendInfo& info);

// How often the watcher reads the card.
constexpr int WatchIntervalMs = 1000;

// The delivery system a never-tuned front end that can do these systems is
// tuned on (see KeepOtherParameters); 0 (System::Undefined) for none.
// Systems are numbered as in card_device.h.
std::uint32_t FirstTuneSystem(const std::uint32_t* systems, int nSystems);

// Called when another program has changed the card's tuning or PIDs.
typedef void (*ChangeCallback)(void* pContext);

class BoardState;

// For a device that follows the program tables itself (Windows' PID filter
// reads them from the captured stream it filters).
struct DeviceFollowsTables {};

// One card, opened for one window at a time. Every call may come from the
// user-interface thread; the board has threads of its own (the watcher and
// the table reader) and never waits for them on a close longer than it
// takes them to notice.
class Board
{
public:
    // A board that reads the multiplex's program tables through the
    // device's section filters, with the platform's parsers
    // (program_tables.h), and routes those that go with the selected PIDs.
    explicit Board(CardDevice& device);
    // A board that reads no tables: the device finds them itself, and
    // takes the routes of the tables (the PAT only, with no map) as no
    // more than a hint. Nothing of the table reader is linked with it.
    Board(CardDevice& device, DeviceFollowsTables);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    DVBErrReturn Open(HWND hWnd, ChangeCallback pfnChanged, void* pContext);
    DVBErrReturn Close(HWND hWnd);

    CCommonDVB::ErrReturn GetAudioPid(std::uint16_t& wPid);
    CCommonDVB::ErrReturn GetVideoPid(std::uint16_t& wPid);
    CCommonDVB::ErrReturn SetAudioPid(std::uint16_t wPid);
    CCommonDVB::ErrReturn SetVideoPid(std::uint16_t wPid);
    CCommonDVB::ErrReturn GetFrequency(std::uint32_t& nFrequency);     // kHz
    CCommonDVB::ErrReturn GetSymbolRate(std::uint32_t& nSymbolRate);   // kSym/s
    CCommonDVB::ErrReturn SetFrequency(std::uint32_t nFrequency, int nFlags);

private:
    BoardState* m_pState;
};

// The process's one board, which CMPEGDecoder and CFrontend
// (card_classes.cpp) reach. The platform's entry point defines it, over
// its device, beside DVB_OpenBoard and DVB_CloseBoard.
Board& TheBoard();

}  // namespace dvbcard
