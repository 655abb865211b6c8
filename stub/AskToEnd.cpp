#include "stub/AskToEnd.h"

#include <mutex>
#include <vector>

namespace {

// A process has at most one console: visits to programs' consoles take turns.
std::mutex consoleLock;

BOOL WINAPI IgnoreBreaks(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// Ctrl+C to process group 0 of the program's console, that is to every
// process on it. Sent from inside that console: it is the one way that
// arrives both on Windows and under Wine. We hear it ourselves while
// attached, and IgnoreBreaks takes it then.
bool SendCtrlC(DWORD pid)
{
    std::lock_guard<std::mutex> hold(consoleLock);
    // Fails for a program without a console, and while we have one of our
    // own (a service has none).
    if (!AttachConsole(pid))
        return false;
    BOOL sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent != FALSE;
}

std::vector<DWORD> JobProcesses(HANDLE job)
{
    constexpr DWORD room = 256;
    std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + room * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    std::vector<DWORD> pids;
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, static_cast<DWORD>(buffer.size()),
                                  nullptr) ||
        GetLastError() == ERROR_MORE_DATA)
        for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i)
            pids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
    return pids;
}

struct TWindowSearch {
    std::vector<DWORD> Pids;
    int Closed = 0;
};

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM parameter)
{
    auto& search = *reinterpret_cast<TWindowSearch*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    for (DWORD wanted : search.Pids)
        if (pid == wanted) {
            if (PostMessageA(window, WM_CLOSE, 0, 0))
                ++search.Closed;
            break;
        }
    return TRUE;
}

} // namespace

void PrepareConsoleBreaks()
{
    static const bool prepared = [] {
        SetConsoleCtrlHandler(nullptr, FALSE);
        SetConsoleCtrlHandler(IgnoreBreaks, TRUE);
        return true;
    }();
    (void)prepared;
}

std::string AskToEnd(HANDLE job, DWORD pid)
{
    std::string asked = SendCtrlC(pid) ? "Ctrl+C" : "";
    TWindowSearch search{JobProcesses(job)};
    if (search.Pids.empty())
        search.Pids.push_back(pid);
    EnumWindows(CloseWindowOf, reinterpret_cast<LPARAM>(&search));
    if (search.Closed > 0)
        asked += std::string(asked.empty() ? "" : " and ") + "a close message to " + std::to_string(search.Closed) +
                 (search.Closed == 1 ? " window" : " windows");
    return asked;
}
