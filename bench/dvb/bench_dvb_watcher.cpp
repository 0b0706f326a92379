// What the Linux DVB card library's change detection costs while nothing
// happens: opens the board (on the adapter the library finds), leaves it
// alone, and reports what the library's watcher thread used over that time.
//
//   bench_dvb_watcher [SECONDS]
//
// Figures over SECONDS of idle time (default 10):
//   - the watcher thread: CPU time (in all, per second, per poll), wake-ups
//     (voluntary context switches) and preemptions, the number of polls;
//   - the device calls the watcher made: ioctls per poll by request, and the
//     CPU time spent inside them (each ioctl is counted and timed on its way
//     to the C library, the library's own and libdvbv5's alike);
//   - the main thread, standing in for the user-interface thread: its CPU
//     and wake-ups, and the change messages posted to the window (none while
//     the card is left alone);
//   - the whole process's CPU time.
// Window messages go to the card tests' double, so no window system is
// needed. Exits with 2, saying so, when the board cannot be opened.
#include "platform/card/card_library.h"
#include "platform/card/linux/dvb_card.h"
#include "tests/support/window_messages_double.h"

#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace {

std::int64_t ClockNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

pid_t ThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// ioctls made by any thread but the main one (the watcher is the only other).
pid_t g_mainThread = 0;
std::atomic<long> g_feGetProperty{0};
std::atomic<long> g_dmxGetPesPids{0};
std::atomic<long> g_otherIoctls{0};
std::atomic<std::int64_t> g_ioctlCpuNs{0};
std::atomic<std::int64_t> g_ioctlWallNs{0};

}  // namespace

// Every ioctl of the process, the ones made inside libdvbv5 included, passes
// here on its way to the C library.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    using RealIoctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (ThreadId() == g_mainThread)
        return real(fd, request, arg);

    const std::int64_t cpu0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const std::int64_t wall0 = ClockNs(CLOCK_MONOTONIC);
    const int result = real(fd, request, arg);
    const int savedErrno = errno;
    g_ioctlCpuNs += ClockNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    g_ioctlWallNs += ClockNs(CLOCK_MONOTONIC) - wall0;
    if (request == FE_GET_PROPERTY)
        ++g_feGetProperty;
    else if (request == DMX_GET_PES_PIDS)
        ++g_dmxGetPesPids;
    else
        ++g_otherIoctls;
    errno = savedErrno;
    return result;
}

namespace {

std::set<int> Threads()
{
    std::set<int> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                tids.insert(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return tids;
}

struct ThreadSample
{
    std::int64_t cpuNs = 0;      // time on a CPU (schedstat), ns
    long long voluntary = 0;     // went to sleep: one per wake-up
    long long involuntary = 0;   // preempted
    bool ok = false;
};

ThreadSample SampleThread(int tid)
{
    ThreadSample s;
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream schedstat(task + "/schedstat");
    long long ns = 0;
    if (schedstat >> ns) {
        s.cpuNs = ns;
        s.ok = true;
    }
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            s.voluntary = std::atoll(line.c_str() + line.find(':') + 1);
        else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            s.involuntary = std::atoll(line.c_str() + line.find(':') + 1);
    }
    return s;
}

// What timing an ioctl adds to the figures inside it: the same clock reads
// around nothing, on average.
struct Bracket
{
    double cpuNs = 0;
    double wallNs = 0;
};

Bracket MeasureBracket()
{
    constexpr int Rounds = 200;
    std::int64_t cpu = 0, wall = 0;
    for (int i = 0; i < Rounds; ++i) {
        const std::int64_t cpu0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
        const std::int64_t wall0 = ClockNs(CLOCK_MONOTONIC);
        const int savedErrno = errno;
        cpu += ClockNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        wall += ClockNs(CLOCK_MONOTONIC) - wall0;
        errno = savedErrno;
    }
    return Bracket{static_cast<double>(cpu) / Rounds, static_cast<double>(wall) / Rounds};
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_dvb_watcher [SECONDS]\n");
        return 2;
    }
    g_mainThread = ThreadId();
    const Bracket bracket = MeasureBracket();

    const std::set<int> before = Threads();
    const HWND hWnd = reinterpret_cast<HWND>(std::uintptr_t{0x1001});
    const DVBErrReturn nOpen = DVB_OpenBoard(hWnd);
    if (nOpen != 0) {
        std::printf("watcher: cannot open the board (code %u): no figures\n", static_cast<unsigned>(nOpen));
        return 2;
    }
    // The library's threads: the watcher by its name; the table router
    // (which sleeps until a PID is set) is not counted.
    int watcher = 0;
    for (int tid : Threads()) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (before.count(tid) == 0 && (watcher == 0 || name == "tavrik-watch"))
            watcher = tid;
    }
    if (watcher == 0) {
        std::printf("watcher: the board opened but no watcher thread appeared: no figures\n");
        DVB_CloseBoard(hWnd);
        return 2;
    }

    // Let the watcher settle into its rhythm, then measure from one of its
    // polls to a later one: whole intervals only.
    const long polls0Wait = g_dmxGetPesPids.load();
    const auto giveUp = std::chrono::steady_clock::now() + 3 * std::chrono::milliseconds(dvbcard::WatchIntervalMs);
    while (g_dmxGetPesPids.load() == polls0Wait) {
        if (std::chrono::steady_clock::now() > giveUp) {
            std::printf("watcher: the watcher read no PIDs within %d ms: no figures\n", 3 * dvbcard::WatchIntervalMs);
            DVB_CloseBoard(hWnd);
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    windowmessages::ClearPosts();

    const ThreadSample w0 = SampleThread(watcher);
    const ThreadSample m0 = SampleThread(g_mainThread);
    const std::int64_t process0 = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    const std::int64_t main0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const std::int64_t wall0 = ClockNs(CLOCK_MONOTONIC);
    const long fe0 = g_feGetProperty, dmx0 = g_dmxGetPesPids, other0 = g_otherIoctls;
    const std::int64_t ioCpu0 = g_ioctlCpuNs, ioWall0 = g_ioctlWallNs;

    // The user-interface thread, idle: asleep until the period ends.
    std::this_thread::sleep_for(std::chrono::seconds(seconds));

    // The clocks first: reading the samples costs CPU of its own.
    const std::int64_t main1 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const std::int64_t process1 = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    const std::int64_t wall1 = ClockNs(CLOCK_MONOTONIC);
    const ThreadSample m1 = SampleThread(g_mainThread);
    const ThreadSample w1 = SampleThread(watcher);
    const long polls = g_dmxGetPesPids - dmx0;
    const long feCalls = g_feGetProperty - fe0;
    const long otherCalls = g_otherIoctls - other0;
    const long ioctls = feCalls + polls + otherCalls;
    const double ioCpuUs =
        (static_cast<double>(g_ioctlCpuNs - ioCpu0) - bracket.cpuNs * static_cast<double>(ioctls)) / 1000.0;
    const double ioWallUs =
        (static_cast<double>(g_ioctlWallNs - ioWall0) - bracket.wallNs * static_cast<double>(ioctls)) / 1000.0;
    const std::size_t posts = windowmessages::Posts().size();
    DVB_CloseBoard(hWnd);

    const double elapsed = static_cast<double>(wall1 - wall0) / 1e9;
    const double watcherUs = static_cast<double>(w1.cpuNs - w0.cpuNs) / 1000.0;
    const double perPoll = polls > 0 ? 1.0 / static_cast<double>(polls) : 0.0;
    std::printf("watcher: machine: %ld CPU(s); board open, left alone for %.2f s (interval %d ms)\n",
                sysconf(_SC_NPROCESSORS_ONLN), elapsed, dvbcard::WatchIntervalMs);
    if (!w0.ok || !w1.ok)
        std::printf("watcher: no schedstat for the watcher thread: its CPU time is missing\n");
    std::printf("watcher: watcher thread: %ld polls (%.2f/s); CPU %.0f us in all, %.1f us/s (%.4f %% of a CPU), "
                "%.1f us per poll\n",
                polls, static_cast<double>(polls) / elapsed, watcherUs, watcherUs / elapsed,
                watcherUs / elapsed / 1e4, watcherUs * perPoll);
    std::printf("watcher: watcher thread: wake-ups %lld (%.2f/s, %.2f per poll), preempted %lld times\n",
                w1.voluntary - w0.voluntary, static_cast<double>(w1.voluntary - w0.voluntary) / elapsed,
                static_cast<double>(w1.voluntary - w0.voluntary) * perPoll, w1.involuntary - w0.involuntary);
    std::printf("watcher: device calls per poll: %.2f FE_GET_PROPERTY, %.2f DMX_GET_PES_PIDS, %.2f other; "
                "inside them %.1f us CPU (%.0f %% of the watcher's), %.1f us wall, per poll "
                "(less the timing's own %.1f us CPU, %.1f us wall per call)\n",
                static_cast<double>(feCalls) * perPoll, static_cast<double>(polls) * perPoll,
                static_cast<double>(otherCalls) * perPoll, ioCpuUs * perPoll,
                watcherUs > 0 ? 100.0 * ioCpuUs / watcherUs : 0.0, ioWallUs * perPoll, bracket.cpuNs / 1000.0,
                bracket.wallNs / 1000.0);
    std::printf("watcher: main (UI) thread: CPU %.0f us, wake-ups %lld (its own sleep ending), "
                "change messages posted to the window %zu\n",
                static_cast<double>(main1 - main0) / 1000.0, m1.voluntary - m0.voluntary, posts);
    std::printf("watcher: whole process: CPU %.0f us in all, %.1f us/s\n",
                static_cast<double>(process1 - process0) / 1000.0,
                static_cast<double>(process1 - process0) / 1000.0 / elapsed);
    return 0;
}
