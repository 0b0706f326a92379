// The Linux DVB card: the card library over the kernel's DVB API.
//
// The adapter: adapter 0 when it has a front end, otherwise the
// lowest-numbered adapter that has one (FindAdapter below).
//
// The front end (frontend0) goes through libdvbv5; the decoder PIDs go
// through the demux (demux0) with one PES filter handle per stream. Each
// selected PID is routed to the adapter's DVR device (DMX_OUT_TS_TAP),
// together with the PAT and the PMT of the program that carries it (read
// with libdvbv5's table parsers), so a player reading dvr0 plays what the
// dialog shows. The kernel still counts those filters as the decoder's PIDs
// (dmxdev marks every PES filter below DMX_PES_OTHER as TS_DECODER).
//
// A front end that has never been tuned has no frequency: the getters fail
// with ResNotTuned, and SetFrequency tunes it with defaults for the system
// (see KeepOtherParameters).
//
// Units at the interface:
//   frequency    kHz. Cable and terrestrial front ends work in Hz and are
//                converted (rounded to the nearest kHz when read); satellite
//                front ends already work in kHz (the intermediate frequency
//                after the LNB, as the front end reports it).
//   symbol rate  kSym/s, converted from the front end's symbols per second
//                (rounded to the nearest kSym/s). Terrestrial systems have no
//                symbol rate: GetSymbolrate fails with ResNotSupported.
//   PIDs         0..8191.
//
// Watching: while the board is open, a background thread reads the delivery
// system, frequency, symbol rate and the audio and video PIDs about once a
// second. When another program has changed any of them, it posts the
// registered window message "WM_DVB_PROGRAM_CHANGED" to the window given to
// DVB_OpenBoard. The library's own successful sets are never reported.
#pragma once

#include <cerrno>
#include <cstdint>

namespace dvbcard {

// Codes of DVB_OpenBoard and DVB_CloseBoard other than 0 (success).
//
// Codes below 4096 are the system's errno values of the call that failed,
// for example 13 (EACCES: the front end is not even readable),
// 19 (ENODEV: the device has gone), 5 (EIO). Some have a meaning of their own:
constexpr std::uint32_t ErrNoAdapter = ENOENT;  // 2: no /dev/dvb/adapterN has a
                                                // front end (no driver loaded)
constexpr std::uint32_t ErrBusy = EBUSY;   // 16: another program holds the
                                           // front end; the board is open as a
                                           // read-only monitor (getters work,
                                           // setters fail with ResReadOnly)
constexpr std::uint32_t ErrAlreadyOpen = 4096;  // DVB_OpenBoard while open
constexpr std::uint32_t ErrWrongWindow = 4097;  // DVB_CloseBoard with another handle
constexpr std::uint32_t ErrFrontend = 4098;     // the front end opened, but libdvbv5
                                                // could not set it up
constexpr std::uint32_t ErrNoDemux = 4099;      // the adapter has a front end but
                                                // no demux; nothing is open
constexpr std::uint32_t ErrNoWriteAccess = 4100;  // the front end may be read but
                                                  // not written (EACCES/EPERM):
                                                  // open as a read-only monitor,
                                                  // as with ErrBusy

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
constexpr std::int32_t ResRefused = -7;         // the driver refused the value
                                                // (EINVAL), e.g. another handle
                                                // owns the decoder slot
constexpr std::int32_t ResNotTuned = -8;        // the front end has never been
                                                // tuned: no frequency or symbol
                                                // rate to report
constexpr std::int32_t ResSatelliteNotTuned = -9;  // SetFrequency on a satellite
                                                   // front end that has never been
                                                   // tuned: refused, untouched

// SetFrequency's second argument: retune to the new frequency and keep the
// current delivery system, symbol rate, modulation, inner FEC, inversion,
// bandwidth and the rest, as the front end reports them. It is the only
// value accepted; any other is refused with ResBadFlags, untouched.
//
// A front end that has never been tuned has nothing to keep; it is tuned
// with defaults. The system: cable when the front end can do it (the tool's
// grid and its symbol rate are cable's), otherwise terrestrial. Cable:
// DefaultCableSymbolRate, automatic modulation where the front end can do it,
// otherwise QAM-256; inversion and inner FEC automatic. Terrestrial: 8 MHz
// bandwidth, everything else automatic. A front end that can only receive
// satellite is refused with ResSatelliteNotTuned: the grid is no satellite
// frequency, and the LNB, polarisation and symbol rate are unknown.
constexpr int KeepOtherParameters = 1;
constexpr std::uint32_t DefaultCableSymbolRate = 6900000;   // symbols per second
constexpr std::uint32_t DefaultTerrestrialBandwidth = 8000000;   // Hz

// How often the watcher reads the card.
constexpr int WatchIntervalMs = 1000;

// The adapter the board opens, looked up under root (normally "/dev/dvb"):
// 0 when root/adapter0/frontend0 exists, otherwise the lowest N for which
// root/adapterN/frontend0 exists; -1 when there is none.
int FindAdapter(const char* root);

// The delivery system a never-tuned front end that can do these systems is
// tuned on (see KeepOtherParameters); 0 (SYS_UNDEFINED) for none.
std::uint32_t FirstTuneSystem(const std::uint32_t* systems, int nSystems);

}  // namespace dvbcard
