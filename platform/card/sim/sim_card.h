// The simulated card: a small cable network held in memory.
//
// Nineteen multiplexes sit on the 8 MHz cable grid from 322 to 466 MHz, each
// with its symbol rate (6900 or 6875 kSym/s) and a few programs, each program
// with its video and audio PID. Tuning to a multiplex makes the decoder show
// that multiplex's first program, as a card's zapping firmware does; tuning
// between multiplexes finds no signal and keeps the last symbol rate.
//
// The simulation is deterministic: a fresh board is always tuned to the same
// multiplex and program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simcard {

struct Program
{
    std::uint16_t wVideoPid;
    std::uint16_t wAudioPid;
};

constexpr std::size_t MaxProgramsPerMultiplex = 4;

struct Multiplex
{
    std::uint32_t nFrequency;    // kHz
    std::uint32_t nSymbolRate;   // kSym/s
    std::size_t nPrograms;
    Program programs[MaxProgramsPerMultiplex];
};

// The network the simulated card receives, in frequency order.
constexpr std::size_t MultiplexCount = 19;
const Multiplex& NetworkMultiplex(std::size_t i);

// Limits of the simulated tuner and decoder.
constexpr std::uint32_t MinFrequency = 47000;    // kHz
constexpr std::uint32_t MaxFrequency = 862000;   // kHz
// PIDs 0x0000-0x001F carry the tables (PAT, CAT, NIT, SDT, EIT, ...) and
// 0x1FFF is the null packet: the decoder takes only elementary-stream PIDs.
constexpr std::uint16_t MinPid = 0x0020;
constexpr std::uint16_t MaxPid = 0x1FFE;

// Error codes of DVB_OpenBoard and DVB_CloseBoard.
// A window whose open failed may close without error: nothing was opened.
constexpr std::uint32_t ErrAlreadyOpen = 2;   // the board is open for another window
constexpr std::uint32_t ErrNotOpen = 3;       // close without a matching open
constexpr std::uint32_t ErrWrongWindow = 4;   // close with a handle the open was not given

// Results of the decoder and front-end calls other than success (1).
constexpr std::int32_t ResNotOpen = 0;        // the board is not open
constexpr std::int32_t ResOutOfRange = -1;    // the value is outside the card's range

// Puts the board back to its power-on state (closed, tuned to the start
// multiplex). For tests and demos that need a fresh card.
void Reset();

}  // namespace simcard
