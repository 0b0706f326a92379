// The tool asked to end by a signal, losing its display, or asked for --help
// or --version: the real program (the tool on the recording card) is started,
// sent real signals, and its card log and its output read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <spawn.h>
#include <sstream>
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

// Where the tool's stdout and stderr go: a file read back by ReadOutput()
// (StdoutOnly: stderr stays the test's), a pipe whose reader has gone, or
// nowhere (stdout closed).
enum class Output { File, StdoutOnly, BrokenPipe, Closed };

// One run of the tool with the given arguments, with the card set up by inbox
// commands; env entries ("NAME=value") replace the test's own.
class Tool
{
public:
    explicit Tool(const std::vector<std::string>& commands, const std::vector<std::string>& extraEnv = {},
                  Output output = Output::File, const std::vector<std::string>& args = {})
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

        std::map<std::string, std::string> vars;   // by name
        for (char** p = environ; *p != nullptr; ++p)
            vars[std::string(*p).substr(0, std::string(*p).find('='))] = *p;
        const Log own = {"TAVRIK_RECCARD_LOG=" + m_log, "TAVRIK_RECCARD_INBOX=" + inbox, "QT_QPA_PLATFORM=offscreen"};
        for (const std::string& e : Then(own, extraEnv))
            vars[e.substr(0, e.find('='))] = e;
        std::vector<char*> envp;
        for (auto& var : vars)
            envp.push_back(var.second.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        m_output = m_dir + "/output";
        if (output == Output::File || output == Output::StdoutOnly) {
            posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (output == Output::File)
                posix_spawn_file_actions_adddup2(&actions, 1, 2);
        } else if (output == Output::Closed) {
            posix_spawn_file_actions_addclose(&actions, 1);
        } else if (pipe2(pipeFds, O_CLOEXEC) == 0) {
            close(pipeFds[0]);   // the reader has gone before the tool starts
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        }
        std::vector<std::string> argStrings = Then({TAVRIK_REC_EXE}, args);
        std::vector<char*> argv;
        for (std::string& a : argStrings)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, TAVRIK_REC_EXE, &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0)
            close(pipeFds[1]);
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

    // What the tool wrote to stdout and stderr (Output::File).
    std::string ReadOutput() const
    {
        std::ifstream in(m_output);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Waits until the log holds the given calls as its beginning.
    bool WaitForLog(const Log& begin)
    {
        return WaitForLogTo([&](const Log& log) {
            return log.size() >= begin.size() && std::equal(begin.begin(), begin.end(), log.begin());
        });
    }

    bool WaitForLogTo(const std::function<bool(const Log&)>& predicate)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (predicate(ReadLog()))
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    void Signal(int signalNumber) const { kill(m_pid, signalNumber); }

    bool Running()
    {
        int status = 0;
        if (m_exited || waitpid(m_pid, &status, WNOHANG) != m_pid)
            return !m_exited;
        m_exited = true;
        m_status = status;
        return false;
    }

    // The exit status if the process ended normally, -1 if a signal ended
    // it (TermSignal() says which), -2 on time-out.
    int WaitForExit(std::chrono::milliseconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!Running())
                return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
            std::this_thread::sleep_for(10ms);
        }
        return -2;
    }

    int TermSignal() const { return m_exited && WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0; }

private:
    std::string m_dir;
    std::string m_log;
    std::string m_output;
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
};

std::size_t Count(const Log& log, const std::string& entry)
{
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), entry));
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A private X server (tests/support/xsession.py --start) that a test can
// take away.
class XServer
{
public:
    XServer()
    {
        if (std::FILE* out = popen("/usr/bin/python3 " TAVRIK_XSESSION " --start", "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, out) != nullptr) {
                std::istringstream in(line);
                in >> m_display >> m_pid;
            }
            pclose(out);
        }
    }
    ~XServer() { Stop(); }

    bool Started() const { return m_pid > 0 && !m_display.empty(); }
    const std::string& Display() const { return m_display; }

    // Ends the server: its clients lose their connection.
    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        // Not our child (the script started it): wait until it has gone.
        for (int i = 0; i < 500 && Alive(m_pid); ++i)
            std::this_thread::sleep_for(10ms);
        m_pid = -1;
    }

private:
    static bool Alive(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t end = text.rfind(')');
        return end != std::string::npos && end + 2 < text.size() && text[end + 2] != 'Z';
    }

    std::string m_display;
    pid_t m_pid = -1;
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

// A close that fails after a signal: nobody is at the screen, so no box
// waits for a second signal; the error goes to stderr and the board was
// closed once.
TEST(ShutdownSignals, CloseErrorGoesToStderrAndTheToolEnds)
{
    Tool tool({"close 7"});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLog(Then(Start, Refresh)));
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.WaitForExit(), 0);
    EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
    EXPECT_TRUE(Contains(tool.ReadOutput(), "tavrik-rec: Error on DVB_CloseBoard: 7\n")) << tool.ReadOutput();
}

// A thousand broadcasts queued, each a refresh of 10 ms: the Cancel goes
// ahead of them, instead of after ten seconds of refreshes nobody sees.
TEST(ShutdownSignals, CancelGoesAheadOfQueuedRefreshes)
{
    Tool tool({"sleep GetAudioPid 10", "post 1000"});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLogTo([](const Log& log) { return Count(log, "GetAudioPid") >= 5; }));
    const std::size_t nBefore = Count(tool.ReadLog(), "GetAudioPid");
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.WaitForExit(), 0);
    const Log log = tool.ReadLog();
    // The refresh under way when the signal came, and one the log had not
    // shown yet, at most.
    EXPECT_LE(Count(log, "GetAudioPid"), nBefore + 2);
    EXPECT_EQ(Count(log, "DVB_CloseBoard"), 1u);
    ASSERT_GE(log.size(), Shutdown.size());
    EXPECT_EQ(Log(log.end() - static_cast<long>(Shutdown.size()), log.end()), Shutdown);
}

// The UI thread stuck in a card call: the first signal waits for it, a
// later one ends the process at once, by that signal, without the close.
TEST(ShutdownSignals, AnotherSignalEndsAStuckCallAtOnce)
{
    Tool tool({"sleep GetSymbolrate 30000"});
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLog(Then(Start, Refresh)));
    tool.Signal(SIGINT);
    std::this_thread::sleep_for(1s);   // more than half a second: another request
    EXPECT_TRUE(tool.Running());
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.WaitForExit(5s), -1);
    EXPECT_EQ(tool.TermSignal(), SIGINT);
    EXPECT_EQ(tool.ReadLog(), Then(Start, Refresh));
    EXPECT_TRUE(Contains(tool.ReadOutput(), "tavrik-rec: another signal: ending now, without closing the card\n"))
        << tool.ReadOutput();
}

// stdout and stderr on a pipe nobody reads: Qt's warnings at start and at
// the box, the box's text as the signal takes it away, and SIGPIPE itself
// leave the tool running; it still closes the board once.
TEST(ShutdownSignals, ClosedOutputNeverEndsTheTool)
{
    Tool tool({"open 5"}, {}, Output::BrokenPipe);
    ASSERT_TRUE(tool.Started());
    ASSERT_TRUE(tool.WaitForLog(Start));
    std::this_thread::sleep_for(300ms);   // the box up, its warning written
    tool.Signal(SIGPIPE);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(tool.Running());
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.WaitForExit(), 0);
    EXPECT_EQ(tool.ReadLog(), Then(Then(Start, Refresh), Shutdown));
}

// The tool on a private X server. Its exit status there is Qt's 1, which is
// also the sanitizers' status for an error they report: the output tells
// them apart. What the process still holds as it exits from inside its
// event loop is not a leak worth reporting.
std::vector<std::string> OnDisplay(const XServer& x)
{
    return {"DISPLAY=" + x.Display(), "QT_QPA_PLATFORM=xcb", "ASAN_OPTIONS=detect_leaks=0"};
}

bool MemoryErrors(const std::string& output)
{
    return Contains(output, "ERROR: AddressSanitizer") || Contains(output, "runtime error:");
}

// The X server goes away (a session ending without signals), with the
// dialog's loop waiting, or under the open error's box with a close that
// fails: Qt ends the process from inside its event loop, the board is closed
// once first, and a close error goes to stderr, not into a box on a display
// that has gone.
TEST(DisplayLost, ClosesTheBoardOnce)
{
    for (const bool bUnderTheBox : {false, true}) {
        XServer x;
        ASSERT_TRUE(x.Started());
        Tool tool(bUnderTheBox ? Log{"open 5", "close 7"} : Log{}, OnDisplay(x));
        ASSERT_TRUE(tool.Started());
        const Log opened = bUnderTheBox ? Start : Then(Start, Refresh);
        ASSERT_TRUE(tool.WaitForLog(opened));
        std::this_thread::sleep_for(300ms);   // the dialog's loop waiting, or the box up
        x.Stop();
        EXPECT_EQ(tool.WaitForExit(), 1) << bUnderTheBox;
        EXPECT_EQ(tool.ReadLog(), Then(opened, {"DVB_CloseBoard"}));
        const std::string output = tool.ReadOutput();
        EXPECT_EQ(Contains(output, "tavrik-rec: Error on DVB_CloseBoard: 7\n"), bUnderTheBox) << output;
        EXPECT_FALSE(MemoryErrors(output)) << output;
    }
}

// --help and --version with no display at all (on the X11 platform, anything
// that starts the toolkit aborts): the answer comes on stdout, the status is
// 0, and neither the toolkit nor the card has been started.
const std::vector<std::string> NoDisplay = {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY=",
                                            "ASAN_OPTIONS=detect_leaks=0:handle_abort=0"};

TEST(CommandLineOfTheProgram, VersionAndHelpNeedNoDisplayAndNoCard)
{
    Tool version({}, NoDisplay, Output::StdoutOnly, {"--version"});
    EXPECT_EQ(version.WaitForExit(), 0) << "signal " << version.TermSignal();
    EXPECT_EQ(version.ReadOutput(), "tavrik-rec 1.0\n");
    EXPECT_TRUE(version.ReadLog().empty());

    Tool help({}, NoDisplay, Output::StdoutOnly, {"--unknown", "--help", "--version"});
    EXPECT_EQ(help.WaitForExit(), 0) << "signal " << help.TermSignal();
    EXPECT_EQ(help.ReadOutput().rfind("Usage: tavrik-rec [--help | --version]\n", 0), 0u) << help.ReadOutput();
    EXPECT_TRUE(help.ReadLog().empty());
}

// Any other argument is ignored (the parser's cases are in
// command_line_tests.cpp): the tool goes on to start, which here needs the
// display it does not have.
TEST(CommandLineOfTheProgram, OtherArgumentsAreIgnored)
{
    Tool tool({}, NoDisplay, Output::StdoutOnly, {"-h", "--bogus", "--", "--version"});
    EXPECT_NE(tool.WaitForExit(), 0);
    EXPECT_EQ(tool.ReadOutput(), "");
}

// An answer that cannot be written is a failure, not a success.
TEST(CommandLineOfTheProgram, AClosedStandardOutputFails)
{
    Tool tool({}, NoDisplay, Output::Closed, {"--version"});
    EXPECT_EQ(tool.WaitForExit(), 1) << "signal " << tool.TermSignal();
    EXPECT_TRUE(tool.ReadLog().empty());
}
