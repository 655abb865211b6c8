#include <cstdio>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/Dispatch.h"
#include "cli/Console.h"
#include "toolkit/Text.h"

// The wide arguments, as typed in any console's code page: where a
// character cannot pass, qv says so instead of working on a "?".
extern "C" int wmain(int argc, wchar_t** argv)
{
    // The C runtime writes a console (and NUL) one character at a time
    // otherwise: a list of 200 entries took half a second to print.
    std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    std::vector<std::string> arguments;
    TCliRequest request;
    try {
        for (int n = 1; n < argc; ++n)
            arguments.push_back(TextFromWide(argv[n]));
    } catch (const TError& error) {
        WriteText(stderr, error.Message() + "\n");
        return ExitFailure;
    }
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
