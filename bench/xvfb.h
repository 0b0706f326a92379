// A private X server for a benchmark run: Xvfb on the first free display.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

class PrivateXServer
{
public:
    // Starts Xvfb; Display() is empty if that failed.
    PrivateXServer()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (m_pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            m_display = ":" + number;
    }

    ~PrivateXServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

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

// Runs measure(label, environment) on the offscreen platform, then on a
// private Xvfb.
template <class Measure>
void OnEachPlatform(Measure measure)
{
    std::vector<std::string> env = BaseEnvironment();
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    measure("offscreen", env);

    PrivateXServer xserver;
    if (xserver.Display().empty()) {
        std::printf("%-10s skipped: Xvfb did not start\n", "xvfb");
        return;
    }
    env = BaseEnvironment();
    env.emplace_back("QT_QPA_PLATFORM=xcb");
    env.emplace_back("DISPLAY=" + xserver.Display());
    measure("xvfb", env);
}

}  // namespace bench
