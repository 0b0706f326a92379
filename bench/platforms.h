// The platforms a benchmark measures on: Qt's offscreen platform, and the X
// server the benchmark was started on (DISPLAY: tools/bench.sh runs the
// benchmarks under tests/support/xsession.py, which gives each a private
// Xvfb).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

// The caller's environment without its toolkit and display settings: scaling
// and platform settings would skew the figures.
inline std::vector<std::string> BaseEnvironment()
{
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        if (std::strncmp(*p, "QT_", 3) == 0 || std::strncmp(*p, "DISPLAY=", 8) == 0)
            continue;
        env.emplace_back(*p);
    }
    return env;
}

// Runs measure(label, environment) on the offscreen platform, then on the
// caller's X server.
template <class Measure>
void OnEachPlatform(Measure measure)
{
    std::vector<std::string> env = BaseEnvironment();
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    measure("offscreen", env);

    const char* pszDisplay = std::getenv("DISPLAY");
    if (pszDisplay == nullptr || *pszDisplay == '\0') {
        std::printf("%-10s skipped: no X server (DISPLAY; run under tests/support/xsession.py)\n", "xvfb");
        return;
    }
    env = BaseEnvironment();
    env.emplace_back("QT_QPA_PLATFORM=xcb");
    env.emplace_back(std::string("DISPLAY=") + pszDisplay);
    measure("xvfb", env);
}

}  // namespace bench
