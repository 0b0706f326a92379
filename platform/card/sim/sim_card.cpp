#include "platform/card/sim/sim_card.h"

#include "platform/card/card_library.h"

#include <array>
#include <utility>

namespace simcard {
namespace {

// The multiplex a freshly powered card is tuned to.
constexpr std::size_t StartMultiplex = 9;   // 394 MHz

constexpr Multiplex MakeMultiplex(std::uint32_t i)
{
    Multiplex mux{};
    mux.nFrequency = 322000 + 8000 * i;
    // Most multiplexes run at 6900 kSym/s; a few older ones at 6875.
    mux.nSymbolRate = (i % 4 == 1) ? 6875 : 6900;
    // Two to four programs each, their PIDs grouped by multiplex.
    mux.nPrograms = 2 + i % 3;
    for (std::uint32_t j = 0; j < mux.nPrograms; ++j) {
        const auto wVideo = static_cast<std::uint16_t>(101 + 100 * i + 10 * j);
        mux.programs[j] = Program{wVideo, static_cast<std::uint16_t>(wVideo + 1)};
    }
    return mux;
}

template <std::size_t... I>
constexpr auto MakeNetwork(std::index_sequence<I...>)
{
    return std::array<Multiplex, sizeof...(I)>{MakeMultiplex(I)...};
}

constexpr auto network = MakeNetwork(std::make_index_sequence<MultiplexCount>{});

struct Board
{
    bool bOpen = false;
    HWND hWnd = nullptr;
    HWND hRefused = nullptr;   // the last window whose open failed: it has nothing to close
    std::uint32_t nFrequency = 0;
    std::uint32_t nSymbolRate = 0;
    std::uint16_t wVideoPid = 0;
    std::uint16_t wAudioPid = 0;

    Board() { PowerOn(); }

    void PowerOn()
    {
        const Multiplex& mux = network[StartMultiplex];
        bOpen = false;
        hWnd = nullptr;
        hRefused = nullptr;
        nFrequency = mux.nFrequency;
        nSymbolRate = mux.nSymbolRate;
        wVideoPid = mux.programs[0].wVideoPid;
        wAudioPid = mux.programs[0].wAudioPid;
    }

    void Tune(std::uint32_t nNewFrequency)
    {
        nFrequency = nNewFrequency;
        for (const Multiplex& mux : network) {
            if (mux.nFrequency == nNewFrequency) {
                nSymbolRate = mux.nSymbolRate;
                wVideoPid = mux.programs[0].wVideoPid;
                wAudioPid = mux.programs[0].wAudioPid;
                return;
            }
        }
    }
};

Board& TheBoard()
{
    static Board board;
    return board;
}

}  // namespace

const Multiplex& NetworkMultiplex(std::size_t i)
{
    return network[i];
}

void Reset()
{
    TheBoard().PowerOn();
}

}  // namespace simcard

using simcard::TheBoard;

DVBErrReturn DVB_OpenBoard(HWND hWnd)
{
    auto& board = TheBoard();
    if (board.bOpen) {
        board.hRefused = hWnd;
        return simcard::ErrAlreadyOpen;
    }
    board.bOpen = true;
    board.hWnd = hWnd;
    return 0;
}

DVBErrReturn DVB_CloseBoard(HWND hWnd)
{
    auto& board = TheBoard();
    if (hWnd != nullptr && hWnd == board.hRefused && hWnd != board.hWnd) {
        // Its open failed, so nothing was opened for it and nothing is lost.
        board.hRefused = nullptr;
        return 0;
    }
    if (!board.bOpen)
        return simcard::ErrNotOpen;
    if (board.hWnd != hWnd)
        return simcard::ErrWrongWindow;
    board.bOpen = false;
    board.hWnd = nullptr;
    return 0;
}

// The simulated card keeps all its state in the one board; the objects only
// give access to it.
CMPEGDecoder::CMPEGDecoder() = default;
CMPEGDecoder::~CMPEGDecoder() = default;

CCommonDVB::ErrReturn CMPEGDecoder::GetAudioPid(std::uint16_t& wPid)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    wPid = TheBoard().wAudioPid;
    return Success;
}

CCommonDVB::ErrReturn CMPEGDecoder::GetVideoPID(std::uint16_t& wPid)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    wPid = TheBoard().wVideoPid;
    return Success;
}

CCommonDVB::ErrReturn CMPEGDecoder::SetAudioPID(std::uint16_t wPid)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    if (wPid < simcard::MinPid || wPid > simcard::MaxPid)
        return simcard::ResOutOfRange;
    TheBoard().wAudioPid = wPid;
    return Success;
}

CCommonDVB::ErrReturn CMPEGDecoder::SetVideoPID(std::uint16_t wPid)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    if (wPid < simcard::MinPid || wPid > simcard::MaxPid)
        return simcard::ResOutOfRange;
    TheBoard().wVideoPid = wPid;
    return Success;
}

CFrontend::CFrontend() = default;
CFrontend::~CFrontend() = default;

CCommonDVB::ErrReturn CFrontend::GetFrequency(std::uint32_t& nFrequency)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    nFrequency = TheBoard().nFrequency;
    return Success;
}

CCommonDVB::ErrReturn CFrontend::GetSymbolrate(std::uint32_t& nSymbolRate)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    nSymbolRate = TheBoard().nSymbolRate;
    return Success;
}

CCommonDVB::ErrReturn CFrontend::SetFrequency(std::uint32_t nFrequency, int /*nFlags*/)
{
    if (!TheBoard().bOpen)
        return simcard::ResNotOpen;
    if (nFrequency < simcard::MinFrequency || nFrequency > simcard::MaxFrequency)
        return simcard::ResOutOfRange;
    TheBoard().Tune(nFrequency);
    return Success;
}
