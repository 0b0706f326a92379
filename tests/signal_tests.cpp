// The tool asked to end by a signal: the real program (the tool on the
// recording card) is started, sent real signals, and its card log read back.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Log = std::vector<std::string>;
using namespace std::chrono_literals;

const Log Refresh = {"GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"};
const Log Start = {"CMPEGDecoder", "CFrontend", "DVB_OpenBoard"};
const Log Shutdown = {"DVB_CloseBoard", "~CFrontend", "~CMPEGDecoder"};

Log Then(Log first, const Log& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// One run of the tool, with the card set up by inbox commands.
class Tool
{
public:
    explicit Tool(const std::vector<std::string>& commands)
    {
        char dirTemplate[] = "/tmp/tavrik-signal-XXXXXX";
        m_dir = mkdtemp(dirTemplate);
        m_log = m_dir + "/log";
        const std::string inbox = m_dir + "/inbox";
        {
            std::ofstream out(inbox + ".new");
            for (const std::string& c : commands)
                out << c << "\n";
        }
        std::rename((inbox + ".new").c_str(), inbox.c_str());

        std::vector<std::string> env;
        for (char** p = environ; *p != nullptr; ++p)
            env.emplace_back(*p);
        env.push_back("TAVRIK_RECCARD_LOG=" + m_log);
        env.push_back("TAVRIK_RECCARD_INBOX=" + inbox);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(TAVRIK_REC_EXE), nullptr};
        if (posix_spawn(&m_pid, TAVRIK_REC_EXE, nullptr, nullptr, argv, envp.data()) != 0)
            m_pid = -1;
    }

    ~Tool()
    {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    bool Started() const { return m_pid > 0; }

    Log ReadLog() const
    {
        Log log;
        std::ifstream in(m_log);
        for (std::string line; std::getline(in, line);)
            log.push_back(line);
        return log;
    }

    // Waits until the log holds the given calls as its beginning.
    bool WaitForLog(const Log& begin)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const Log log = ReadLog();
            if (log.size() >= begin.size() && std::equal(begin.begin(), begin.end(), log.begin()))
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    void Signal(int signalNumber) const { kill(m_pid, signalNumber); }

    // The exit status if the process ended normally, -1 if a signal ended
    // it, -2 on time-out.
    int WaitForExit()
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -2;
    }

private:
    std::string m_dir;
    std::string m_log;
    pid_t m_pid = -1;
    bool m_exited = false;
};

class ShutdownSignal : public testing::TestWithParam<int> {};

}  // namespace

// The dialog up: the signal is its Cancel, the board is closed once and the
// process ends normally.
TEST_P(ShutdownSignal, CancelsTheDialogAndClosesTheBoardOnce)
{
    Tool tool({});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLog(Then(Start, Refresh)));
    tool.Signal(GetParam());
    EXPECT_EQ(tool.WaitForExit(), 0);
    EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
}

// The open error's box up: the box goes, the dialog finishes coming up and
// then closes, with one close.
TEST_P(ShutdownSignal, TakesAwayTheMessageBoxThenClosesOnce)
{
    Tool tool({"open 5"});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLog(Start));
    tool.Signal(GetParam());
    EXPECT_EQ(tool.WaitForExit(), 0);
    EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& signal) {
                             return std::string(signal.param == SIGTERM ? "SIGTERM"
                                                : signal.param == SIGINT ? "SIGINT" : "SIGHUP");
                         });

// Signals in a burst, and another while the close error's box is up: the
// board is still closed once.
TEST(ShutdownSignals, MoreSignalsWhileClosingDoNotCloseTwice)
{
    {
        Tool tool({});
        ASSERT_TRUE(tool.Started());
        ASSERT_TRUE(tool.WaitForLog(Then(Start, Refresh)));
        for (int signalNumber : {SIGTERM, SIGINT, SIGTERM, SIGHUP})
            tool.Signal(signalNumber);
        EXPECT_EQ(tool.WaitForExit(), 0);
        EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
    }
    {
        Tool tool({"close 7"});
        ASSERT_TRUE(tool.Started());
        ASSERT_TRUE(tool.WaitForLog(Then(Start, Refresh)));
        tool.Signal(SIGTERM);
        ASSERT_TRUE(tool.WaitForLog(Then(Then(Start, Refresh), {"DVB_CloseBoard"})));
        // The close error's box is up (or about to be): a second signal
        // takes it away and closes nothing more.
        tool.Signal(SIGTERM);
        EXPECT_EQ(tool.WaitForExit(), 0);
        EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
    }
}
