#include "app/command_line.h"

#include <cstring>

CommandLineRequest ParseCommandLine(int argc, const char* const argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], "--help") == 0)
            return CommandLineRequest::Help;
        if (std::strcmp(argv[i], "--version") == 0)
            return CommandLineRequest::Version;
    }
    return CommandLineRequest::Run;
}

int AnswerCommandLine(int argc, const char* const argv[], std::FILE* out)
{
    const CommandLineRequest request = ParseCommandLine(argc, argv);
    if (request == CommandLineRequest::Run)
        return -1;
    // The program as it was started, without its folder.
    const char* program = argc > 0 && argv[0][0] != '\0' ? argv[0] : "tavrik";
    if (const char* slash = std::strrchr(program, '/'))
        program = slash + 1;
    if (request == CommandLineRequest::Version) {
        std::fprintf(out, "%s %s\n", program, TAVRIK_VERSION);
    } else {
        std::fprintf(out,
                     "Usage: %s [--help | --version]\n"
                     "Shows the tuning of a DVB receiver card in one window: video PID, audio PID,\n"
                     "frequency and symbol rate, with spin buttons that step the first three.\n"
                     "It takes no other arguments, and ignores any it is given.\n"
                     "\n"
                     "  --help     show this help and exit\n"
                     "  --version  show the version and exit\n"
                     "\n"
                     "More in the manual page: man %s\n",
                     program, program);
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
}
