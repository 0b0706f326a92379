// The card library: the only way the tool reaches the DVB card.
//
// Board functions open and close the card on behalf of a window; the decoder
// and front-end classes read and set the tuning. Any implementation of this
// header can be linked in: the simulated card, the Linux DVB card, or a test
// double. All calls come from the one user-interface thread.
//
// Units (every implementation in this project uses the same ones):
//   PIDs         13-bit MPEG transport stream packet identifiers, 0..8191
//   frequency    kHz
//   symbol rate  kSym/s (thousands of symbols per second)
#pragma once

#include <cstdint>

// The window handle, declared exactly as <windows.h> declares it (STRICT), so
// this header can be included with or without it.
struct HWND__;
typedef HWND__* HWND;

// Result of the board functions: 0 is success, anything else is an
// implementation-defined error code shown to the user in decimal.
typedef std::uint32_t DVBErrReturn;

// Opens the board for the window hWnd. The library may post the registered
// window message "WM_DVB_PROGRAM_CHANGED" to hWnd whenever the card's tuning
// changes under the tool's feet.
DVBErrReturn DVB_OpenBoard(HWND hWnd);

// Closes what DVB_OpenBoard opened. Called once, with the same handle, also
// after a failed open.
DVBErrReturn DVB_CloseBoard(HWND hWnd);

class CCommonDVB
{
public:
    // Result of every decoder and front-end call. 1, and only 1, is success;
    // on any other result an out-value has not been written.
    typedef std::int32_t ErrReturn;
    static constexpr ErrReturn Success = 1;

    CCommonDVB() = default;
    virtual ~CCommonDVB() = default;
    CCommonDVB(const CCommonDVB&) = delete;
    CCommonDVB& operator=(const CCommonDVB&) = delete;
};

// The card's MPEG decoder: which PIDs it decodes.
class CMPEGDecoder : public CCommonDVB
{
public:
    CMPEGDecoder();
    virtual ~CMPEGDecoder();

    ErrReturn GetAudioPid(std::uint16_t& wPid);
    ErrReturn GetVideoPID(std::uint16_t& wPid);
    ErrReturn SetAudioPID(std::uint16_t wPid);
    ErrReturn SetVideoPID(std::uint16_t wPid);
};

// The card's tuner front end.
class CFrontend : public CCommonDVB
{
public:
    CFrontend();
    virtual ~CFrontend();

    ErrReturn GetFrequency(std::uint32_t& nFrequency);     // kHz
    ErrReturn GetSymbolrate(std::uint32_t& nSymbolRate);   // kSym/s
    // Tunes to nFrequency (kHz). nFlags: 1 keeps the current delivery
    // system, symbol rate, modulation and the rest; the tool always passes 1.
    ErrReturn SetFrequency(std::uint32_t nFrequency, int nFlags);
};
