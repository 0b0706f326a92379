// The Linux DVB card: the card library over the kernel's DVB API, adapter 0.
//
// The front end (frontend0) goes through libdvbv5; the decoder PIDs go
// through the demux (demux0) with one PES filter handle per stream, routed to
// the card's decoder (DMX_OUT_DECODER).
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
// for example 2 (ENOENT: no adapter 0), 13 (EACCES: permission denied),
// 19 (ENODEV: the device has gone), 5 (EIO). One of them has a meaning of its
// own:
constexpr std::uint32_t ErrBusy = EBUSY;   // 16: another program holds the
                                           // front end; the board is open as a
                                           // read-only monitor (getters work,
                                           // setters fail with ResReadOnly)
constexpr std::uint32_t ErrAlreadyOpen = 4096;  // DVB_OpenBoard while open
constexpr std::uint32_t ErrWrongWindow = 4097;  // DVB_CloseBoard with another handle
constexpr std::uint32_t ErrFrontend = 4098;     // the front end opened, but libdvbv5
                                                // could not set it up

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

// SetFrequency's second argument: retune to the new frequency and keep the
// current delivery system, symbol rate, modulation, inner FEC, inversion,
// bandwidth and the rest, as the front end reports them. It is the only
// value accepted; any other is refused with ResBadFlags, untouched.
constexpr int KeepOtherParameters = 1;

// How often the watcher reads the card.
constexpr int WatchIntervalMs = 1000;

}  // namespace dvbcard
