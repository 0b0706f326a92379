// Small helpers the benchmark programs share: clocks, statistics, memory
// figures and the machine's description.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <malloc.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// Nanoseconds on the system-wide monotonic clock: comparable across processes.
inline std::int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The p-quantile (0..1) by the nearest-rank method.
inline double Quantile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    rank = std::clamp<std::size_t>(rank, 1, values.size());
    return values[rank - 1];
}

inline double Median(const std::vector<double>& values)
{
    if (values.empty())
        return 0;
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A field of /proc/<pid>/status in kB (VmRSS, VmHWM), or -1.
inline long StatusKb(const char* field, pid_t pid = 0)
{
    const std::string path = pid ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status";
    std::ifstream in(path);
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

// Bytes the allocator has handed out and not had back, over all threads.
inline long HeapInUseKb()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// The machine and its load, for the figures' caption.
inline void PrintMachine()
{
    std::ifstream cpu("/proc/cpuinfo");
    std::string line, model;
    int cores = 0;
    while (std::getline(cpu, line)) {
        if (line.rfind("model name", 0) == 0) {
            ++cores;
            if (model.empty())
                model = line.substr(line.find(':') + 2);
        }
    }
    std::ifstream loadavg("/proc/loadavg");
    std::string load1, load5, load15;
    loadavg >> load1 >> load5 >> load15;
    std::printf("machine: %s, %d cores; load average %s %s %s\n", model.c_str(), cores, load1.c_str(),
                load5.c_str(), load15.c_str());
}

}  // namespace bench
