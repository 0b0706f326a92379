// The command line: --help and --version answer on standard output and end
// the process before the toolkit or the card is touched; every other
// argument is ignored. The parser alone, then the real entry (the tool on
// the recording card) started with no display it could use.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

CommandLineRequest Parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "tavrik");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

// What AnswerCommandLine writes, and what it returns.
std::pair<int, std::string> Answer(std::vector<const char*> args)
{
    std::FILE* out = std::tmpfile();
    const int status = AnswerCommandLine(static_cast<int>(args.size()), args.data(), out);
    std::string text;
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(out);
    return {status, text};
}

// One run of the real program with the given arguments, on the X11 platform
// with no display (anything that starts the toolkit aborts) and the recording
// card's log in a folder of its own.
struct ProgramRun
{
    int exitStatus = -1;   // -1: ended by a signal
    int signal = 0;
    std::string out;
    bool cardTouched = false;
};

ProgramRun Start(const std::vector<std::string>& args, bool closeStdout = false)
{
    char dirTemplate[] = "/tmp/tavrik-args-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    const std::string log = dir + "/log";
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string e = *p;
        if (e.rfind("DISPLAY=", 0) != 0 && e.rfind("WAYLAND_DISPLAY=", 0) != 0 && e.rfind("QT_QPA_PLATFORM=", 0) != 0)
            env.push_back(e);
    }
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("TAVRIK_RECCARD_LOG=" + log);
    env.push_back("TAVRIK_RECCARD_INBOX=" + dir + "/inbox");
    // The toolkit's abort is expected in one test: no leak report or core.
    env.push_back("ASAN_OPTIONS=detect_leaks=0:handle_abort=0");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = args;
    argStrings.insert(argStrings.begin(), TAVRIK_REC_EXE);
    std::vector<char*> argv;
    for (std::string& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    ProgramRun run;
    if (pipe(pipeFds) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeStdout)
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, TAVRIK_REC_EXE, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned == 0) {
        char buffer[4096];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            run.out.append(buffer, static_cast<size_t>(n));
        int status = 0;
        waitpid(pid, &status, 0);
        run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    close(pipeFds[0]);
    struct stat st;
    run.cardTouched = stat(log.c_str(), &st) == 0;
    std::system(("rm -rf '" + dir + "'").c_str());
    return run;
}

}  // namespace

TEST(CommandLine, HelpAndVersionAreTheOnlyRequests)
{
    EXPECT_EQ(Parse({}), CommandLineRequest::Run);
    EXPECT_EQ(Parse({"--help"}), CommandLineRequest::Help);
    EXPECT_EQ(Parse({"--version"}), CommandLineRequest::Version);
    // Everything else is ignored, abbreviations and short forms included.
    EXPECT_EQ(Parse({"-h", "-v", "--hel", "--versions", "help", "-help", "--help=x"}), CommandLineRequest::Run);
    // The first of the two decides, wherever it stands.
    EXPECT_EQ(Parse({"x", "--version", "--help"}), CommandLineRequest::Version);
    EXPECT_EQ(Parse({"--help", "--version"}), CommandLineRequest::Help);
    // After "--" nothing is an option.
    EXPECT_EQ(Parse({"--", "--help"}), CommandLineRequest::Run);
    EXPECT_EQ(ParseCommandLine(0, nullptr), CommandLineRequest::Run);
}

TEST(CommandLine, AnswersNameTheProgramAsStarted)
{
    EXPECT_EQ(Answer({"/usr/bin/tavrik-sim", "--version"}), std::make_pair(0, std::string("tavrik-sim 1.0\n")));
    const auto [status, help] = Answer({"tavrik", "--help"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help.rfind("Usage: tavrik [--help | --version]\n", 0), 0u) << help;
    EXPECT_NE(help.find("and ignores any it is given"), std::string::npos) << help;
    EXPECT_NE(help.find("man tavrik\n"), std::string::npos) << help;
    EXPECT_EQ(Answer({"tavrik", "x"}), std::make_pair(-1, std::string()));
}

// With no display at all: the answer comes, the status is 0, and neither the
// toolkit nor the card has been started.
TEST(CommandLineOfTheProgram, VersionAndHelpNeedNoDisplayAndNoCard)
{
    const ProgramRun version = Start({"--version"});
    EXPECT_EQ(version.exitStatus, 0) << "signal " << version.signal;
    EXPECT_EQ(version.out, "tavrik-rec 1.0\n");
    EXPECT_FALSE(version.cardTouched);

    const ProgramRun help = Start({"--unknown", "--help", "--version"});
    EXPECT_EQ(help.exitStatus, 0) << "signal " << help.signal;
    EXPECT_EQ(help.out.rfind("Usage: tavrik-rec [--help | --version]\n", 0), 0u) << help.out;
    EXPECT_FALSE(help.cardTouched);
}

// Any other argument is ignored (the parser's cases are above): the tool goes
// on to start, which here needs the display it does not have.
TEST(CommandLineOfTheProgram, OtherArgumentsAreIgnored)
{
    const ProgramRun run = Start({"-h", "--bogus", "--", "--version"});
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_EQ(run.out, "");
}

// An answer that cannot be written is a failure, not a success.
TEST(CommandLineOfTheProgram, AClosedStandardOutputFails)
{
    const ProgramRun run = Start({"--version"}, true);
    EXPECT_EQ(run.exitStatus, 1) << "signal " << run.signal;
    EXPECT_FALSE(run.cardTouched);
}
