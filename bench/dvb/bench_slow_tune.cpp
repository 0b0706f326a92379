// A slow tuner and the user-interface thread: two quick frequency steps on
// a card whose every tune keeps its front end busy for TUNE_MS (default
// 2000), as a kernel's front-end thread holds its semaphore while the
// driver tunes. The card is the tests' device double under the card
// library; the main thread stands in for the user-interface thread and
// does what the dialog does for a step: one set, then four gets.
//
//   bench_slow_tune [TUNE_MS]
//
// Figures: each step's stall of the user-interface thread (the set and the
// four gets, one message), the longest; when the window was told the card
// had finished, counted from the end of the last tune; and what a refresh
// then reads.
#include "platform/card/card_board.h"
#include "tests/support/card_device_double.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::atomic<int> g_nTold{0};
std::atomic<long long> g_toldAt{0};

long long Now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

void Told(void*)
{
    g_toldAt = Now();
    ++g_nTold;
}

// One step as the dialog makes it; the stall in ms, and the results.
double Step(dvbcard::Board& board, std::uint32_t nKhz, int results[5])
{
    const auto start = Clock::now();
    std::uint16_t wPid = 0;
    std::uint32_t n = 0;
    results[0] = board.SetFrequency(nKhz, 1);
    results[1] = board.GetAudioPid(wPid);
    results[2] = board.GetVideoPid(wPid);
    results[3] = board.GetFrequency(n);
    results[4] = board.GetSymbolRate(n);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const int nTuneMs = argc > 1 ? std::atoi(argv[1]) : 2000;
    carddouble::DeviceDouble device;
    dvbcard::Board board(device);
    const HWND hWnd = reinterpret_cast<HWND>(0x1001);
    if (board.Open(hWnd, Told, nullptr) != 0) {
        std::printf("slow tune: the board did not open\n");
        return 2;
    }
    board.SetVideoPid(0x100);
    board.SetAudioPid(0x101);
    std::this_thread::sleep_for(100ms);
    device.SetTuneTime(std::chrono::milliseconds(nTuneMs));
    const int nToldBefore = g_nTold;

    int first[5];
    int second[5];
    const auto t0 = Clock::now();
    const double stall1 = Step(board, 330000, first);
    std::this_thread::sleep_for(300ms);   // a quick second click
    const double stall2 = Step(board, 338000, second);
    // The card is done when its front end is free again: a read that waits.
    dvbcard::Tuning t;
    device.ReadTuning(t);
    const long long doneAt = Now();
    const double done = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

    for (const auto until = Clock::now() + 3s; Clock::now() < until && g_nTold == nToldBefore;)
        std::this_thread::sleep_for(5ms);
    std::uint32_t nFrequency = 0;
    std::uint32_t nSymbolRate = 0;
    const int nFreq = board.GetFrequency(nFrequency);
    const int nRate = board.GetSymbolRate(nSymbolRate);

    std::printf("slow tune: every tune keeps the front end busy %d ms\n", nTuneMs);
    std::printf("slow tune: step 1 (330000 kHz): UI thread stalled %.1f ms; set %d, gets %d %d %d %d\n", stall1,
                first[0], first[1], first[2], first[3], first[4]);
    std::printf("slow tune: step 2 (338000 kHz), 300 ms later: UI thread stalled %.1f ms; set %d, gets %d %d %d %d\n",
                stall2, second[0], second[1], second[2], second[3], second[4]);
    std::printf("slow tune: longest UI stall %.1f ms\n", stall1 > stall2 ? stall1 : stall2);
    std::printf("slow tune: the card was done %.0f ms after the first step\n", done);
    if (g_nTold > nToldBefore)
        std::printf("slow tune: the window was told %.1f ms after the card was done\n",
                    static_cast<double>(g_toldAt - doneAt) / 1000.0);
    else
        std::printf("slow tune: the window was not told (the steps read back in place)\n");
    std::printf("slow tune: a refresh then reads %u kHz (result %d), %u kSym/s (result %d); the card is on %u Hz\n",
                nFrequency, nFreq, nSymbolRate, nRate, device.TuningNow().nFrequency);
    board.Close(hWnd);
    return 0;
}
