// The card library (card_library.h) over a card device (card_device.h) that
// the tool holds alone while it is open, on the caller's thread only.
//
// A Windows BDA graph holds its tuner exclusively: no other program can
// retune it or change its PIDs while the tool runs, so there is nothing to
// watch, and its device follows the program tables itself (its PID filter).
// The board therefore needs no thread of its own: every call is made on
// the user-interface thread, and DVB_CloseBoard waits for nothing. Changes
// made by other programs that post "WM_DVB_PROGRAM_CHANGED" still refresh
// the window, which answers that message whoever sends it.
//
// Units at card_library.h's interface:
//   frequency    kHz, from the device's Hz (rounded to the nearest kHz);
//                satellite front ends count in kHz already
//   symbol rate  kSym/s, from the device's symbols per second (rounded)
//   PIDs         0..8191
#pragma once

#include "platform/card/card_device.h"
#include "platform/card/card_library.h"

#include <cstdint>

namespace exclusiveboard {

// Codes of DVB_OpenBoard and DVB_CloseBoard the board gives itself; the
// device's own codes pass through.
constexpr std::uint32_t ErrAlreadyOpen = 4096;  // DVB_OpenBoard while open
constexpr std::uint32_t ErrWrongWindow = 4097;  // DVB_CloseBoard with another handle

// Results of the decoder and front-end calls other than success (1), with
// the numbers the Linux card library gives them.
constexpr std::int32_t ResNotOpen = 0;          // the board is not open
constexpr std::int32_t ResOutOfRange = -1;      // PID above 8191, or a frequency
                                                // outside the front end's range
constexpr std::int32_t ResNoPid = -2;           // no PID selected for the stream yet
constexpr std::int32_t ResReadOnly = -3;        // open as a monitor: setters refused
constexpr std::int32_t ResNotSupported = -4;    // the device lacks it
constexpr std::int32_t ResDeviceError = -5;     // the device failed or has gone
constexpr std::int32_t ResBadFlags = -6;        // SetFrequency's second argument is not 1
constexpr std::int32_t ResRefused = -7;         // the device refused the value
constexpr std::int32_t ResNotTuned = -8;        // never tuned: nothing to report
constexpr std::int32_t ResSatelliteNotTuned = -9;  // a satellite-only front end
                                                   // that has never been tuned

// SetFrequency(f, 1) retunes to f and keeps the rest of the current tuning.
// A front end that has never been tuned is tuned with these defaults: cable
// where it can (symbol rate DefaultCableSymbolRate, automatic modulation
// where the front end finds it itself, otherwise QAM-256), otherwise
// terrestrial (8 MHz, the rest automatic). The same as on Linux.
constexpr int KeepOtherParameters = 1;
constexpr std::uint32_t DefaultCableSymbolRate = 6900000;        // symbols per second
constexpr std::uint32_t DefaultTerrestrialBandwidth = 8000000;   // Hz

// The device the board drives; the platform's entry point defines it.
dvbcard::CardDevice& TheDevice();

// Puts the board back to closed without touching the device (for tests).
void Reset();

}  // namespace exclusiveboard
