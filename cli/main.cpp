#include <cstdio>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Console.h"

int main(int argc, char** argv)
{
    // The C runtime writes a console (and NUL) one character at a time
    // otherwise: a list of 200 entries took half a second to print.
    std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TCliRequest request;
    try {
        request = ParseArguments(arguments);
    } catch (const TUsageError& error) {
        WriteText(stderr, error.Message() + "\nRun \"qv --help\" for the commands.\n");
        return ExitUsage;
    }
    int code = RunRequest(request);
    std::fflush(stdout);
    return code;
}
