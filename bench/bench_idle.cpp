// Idle cost of the tool: starts it, lets it settle, and then counts, over a
// quiet period with no input, the CPU time it uses and how often each of its
// threads wakes up. A tool that polls nothing wakes no thread at all.
//
//   bench_idle EXE [SECONDS]
//
// EXE is tavrik-sim (or a build on another card library, whose change
// detection then shows up as its own thread's wake-ups). Measured on the
// offscreen platform and on an X server, SECONDS each (default 5).
#include "bench/bench_util.h"
#include "bench/platforms.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct ThreadSample
{
    std::string name;
    long long ticks = 0;      // utime + stime, clock ticks
    long long switches = 0;   // voluntary + involuntary context switches
};

std::map<int, ThreadSample> SampleThreads(pid_t pid)
{
    std::map<int, ThreadSample> result;
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(base.c_str());
    if (dir == nullptr)
        return result;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int tid = std::atoi(entry->d_name);
        const std::string task = base + "/" + entry->d_name;
        ThreadSample s;
        std::ifstream(task + "/comm") >> s.name;
        std::ifstream statFile(task + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        const std::size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(stat.substr(close + 2));
            std::string field;
            long long utime = 0, stime = 0;
            for (int i = 3; fields >> field; ++i) {
                if (i == 14)
                    utime = std::atoll(field.c_str());
                if (i == 15) {
                    stime = std::atoll(field.c_str());
                    break;
                }
            }
            s.ticks = utime + stime;
        }
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                s.switches += std::atoll(line.c_str() + line.find(':') + 1);
        }
        result[tid] = s;
    }
    closedir(dir);
    return result;
}

void Measure(const char* pszLabel, const char* pszExe, const std::vector<std::string>& env, int seconds)
{
    std::vector<char*> envp;
    for (const std::string& s : env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(pszExe), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, pszExe, nullptr, nullptr, argv, envp.data()) != 0) {
        std::printf("%-10s could not start %s\n", pszLabel, pszExe);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));   // start-up settles
    const auto before = SampleThreads(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = SampleThreads(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    long long totalTicks = 0, totalSwitches = 0;
    std::string perThread;
    for (const auto& [tid, a] : after) {
        auto it = before.find(tid);
        const ThreadSample b = it != before.end() ? it->second : ThreadSample{};
        const long long dt = a.ticks - b.ticks;
        const long long ds = a.switches - b.switches;
        totalTicks += dt;
        totalSwitches += ds;
        char buf[128];
        std::snprintf(buf, sizeof buf, " %s%s %.1f/s", a.name.c_str(), tid == pid ? " (UI)" : "",
                      static_cast<double>(ds) / seconds);
        perThread += buf;
    }
    std::printf("%-10s %d s idle: CPU %.0f ms (%.2f %%), %zu threads, wake-ups %.1f/s; per thread:%s\n", pszLabel,
                seconds, 1000.0 * static_cast<double>(totalTicks) / tick,
                100.0 * static_cast<double>(totalTicks) / tick / seconds, after.size(),
                static_cast<double>(totalSwitches) / seconds, perThread.c_str());
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s EXE [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    bench::PrintMachine();
    std::printf("idle cost of %s (no input; wake-ups are context switches)\n", argv[1]);
    bench::OnEachPlatform([&](const char* pszLabel, const std::vector<std::string>& env) {
        Measure(pszLabel, argv[1], env, seconds);
    });
    return 0;
}
