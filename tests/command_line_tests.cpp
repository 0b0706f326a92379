// The command line: --help and --version answer on standard output and end
// the process before the toolkit or the card is touched; every other
// argument is ignored. The parser and the answers alone; the real entry is
// started with no display in signal_tests.cpp.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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
