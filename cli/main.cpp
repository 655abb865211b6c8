#include <cstdio>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/Commands.h"

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    TCliRequest request;
    try {
        request = ParseArguments(arguments);
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "%s\nRun \"qv --help\" for the commands.\n", error.Message().c_str());
        return ExitUsage;
    }
    int code = RunRequest(request);
    std::fflush(stdout);
    return code;
}
