// The command line: the tool takes no arguments, but answers --help and
// --version as command-line programs do, before anything needs a display.
#pragma once

#include <cstdio>

// What the arguments ask for. The first --help or --version decides; "--"
// ends the options; every other argument is ignored.
enum class CommandLineRequest { Run, Help, Version };
CommandLineRequest ParseCommandLine(int argc, const char* const argv[]);

// Prints the help or the version for the program argv[0] names to out and
// returns the exit status (0, or 1 when out cannot be written), or -1 when
// the tool is to run.
int AnswerCommandLine(int argc, const char* const argv[], std::FILE* out);
