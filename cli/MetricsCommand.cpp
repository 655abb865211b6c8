#include "cli/Commands.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "platform/Kernel.h"
#include "status/Metrics.h"

namespace {

// Set by Ctrl+C, Ctrl+Break, the console's closing or a service host's stop
// (it sends Ctrl+C): the file being written is finished, then the run ends.
HANDLE stopEvent = nullptr;

BOOL WINAPI OnStop(DWORD)
{
    SetEvent(stopEvent);
    return TRUE;
}

// One collection written; what went wrong, if anything.
TRefusal WriteOnce(const std::string& folder)
{
    try {
        return WriteMetricsFile(folder, MetricsText(CollectMetrics()));
    } catch (const TError& error) {
        return TRefusal(error.Message());
    }
}

} // namespace

TExitCode Metrics(const TCliRequest& request)
{
    if (!request.Textfile) {
        const std::string text = MetricsText(CollectMetrics());
        // The format's lines end in a line feed alone, in a file or a pipe too.
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
        WriteUtf8(stdout, text);
        return ExitSuccess;
    }
    if (request.EverySeconds == 0) {
        Refuse(ExitFailure, WriteMetricsFile(*request.Textfile, MetricsText(CollectMetrics())));
        return ExitSuccess;
    }
    TKernelHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop) {
        const DWORD error = GetLastError();
        throw TCliFailure(ExitFailure, "Cannot wait between the files (error " + std::to_string(error) + ")");
    }
    stopEvent = stop.Get();
    SetConsoleCtrlHandler(OnStop, TRUE);
    // Each failure is said as it happens and the next time tried again: a
    // collector that reads an old file sees it age (its collection time).
    bool lastFailed = false;
    unsigned long written = 0;
    for (;;) {
        const ULONGLONG began = GetTickCount64();
        const TRefusal refused = WriteOnce(*request.Textfile);
        if (refused)
            WriteText(stderr, refused.Reason() + "\n");
        else if (lastFailed)
            WriteText(stderr, "The metrics file is written again.\n");
        lastFailed = static_cast<bool>(refused);
        written += refused ? 0 : 1;
        // A steady beat, however long collecting took.
        const ULONGLONG due = began + request.EverySeconds * 1000ull, now = GetTickCount64();
        if (WaitForSingleObject(stop.Get(), due > now ? static_cast<DWORD>(due - now) : 0) == WAIT_OBJECT_0)
            break;
    }
    SetConsoleCtrlHandler(OnStop, FALSE);
    Say("Stopped after writing " + std::to_string(written) + (written == 1 ? " file" : " files") + " to \"" +
        *request.Textfile + "\".");
    return lastFailed ? ExitFailure : ExitSuccess;
}
