// Measures the service host under the real Service Control Manager: liveness
// round trip, exit-to-restart delay, idle CPU, private memory, file size, and
// how soon a stop request silences the host and ends the program's tree.
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Asks often, so the figures below lose little to the asking.
constexpr DWORD PollMs = 5;

double Ms(const FILETIME& from, const FILETIME& to)
{
    ULARGE_INTEGER a{{from.dwLowDateTime, from.dwHighDateTime}}, b{{to.dwLowDateTime, to.dwHighDateTime}};
    return (static_cast<double>(b.QuadPart) - static_cast<double>(a.QuadPart)) / 10000.0;
}

int RunAndWait(const std::string& line)
{
    TProgramEnd end = RunToEnd(line, nullptr, nullptr, 30000);
    return !end.Started ? -1 : end.InTime ? static_cast<int>(end.ExitCode) : 99;
}

SERVICE_STATUS_PROCESS Status(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

double Since(const LARGE_INTEGER& from)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Whether the host still holds its liveness mailslot.
bool Listening(int serviceID)
{
    TMailSlot client;
    client.SetMailslot(msClient);
    client.SetAlias(ServiceSlotAlias(serviceID));
    try {
        client.SetActive(true);
        return true;
    } catch (const TError&) {
        return false;
    }
}

bool Stop(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    return WaitFor([&] { return Status(service).dwCurrentState == SERVICE_STOPPED; }, 20000, PollMs);
}

} // namespace

int main()
{
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string stub = build + "\\dist\\Vantorer.bin";
    const std::string program = build + "\\tests\\stub\\stub_test_program.exe";
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string description = "QV Stub Bench " + std::to_string(GetCurrentProcessId());
    const std::string copy = std::string(temp) + "QV!Stub!Bench!" + std::to_string(GetCurrentProcessId()) + ".exe";
    const std::string log = std::string(temp) + "qv_stub_bench.log";
    DeleteFileA(log.c_str());
    DeleteFileA((log + ".1").c_str());

    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!GetFileAttributesExA(stub.c_str(), GetFileExInfoStandard, &attributes) ||
        !CopyFileA(stub.c_str(), copy.c_str(), FALSE)) {
        std::printf("cannot find %s\n", stub.c_str());
        return 1;
    }
    std::printf("Vantorer.bin size: %lu bytes\n", attributes.nFileSizeLow);

    // The catalogue is put back as it was at the end.
    TSavedCatalogue saved;

    TCatalogue catalogue;
    catalogue.AppendEntry(description, program, "pid child wait", log, true);
    const int serviceID = catalogue.Entry().ServiceID;
    TIniFile ini(CatalogueFileName);
    ini.WriteString(description, VantorerKey, copy);

    if (RunAndWait("\"" + copy + "\" -i") != 0) {
        std::printf("install failed\n");
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, description.c_str(), SERVICE_ALL_ACCESS);

    // Liveness, CPU while idle and memory, with a program that just waits.
    StartServiceA(service, 0, nullptr);
    WaitFor([&] { return ReadText(log).find("with pid") != std::string::npos; }, 10000, PollMs);
    {
        TMailSlot replies;
        replies.SetMsgSize(MessageSize);
        replies.SetAlias(ManagerSlotAlias);
        replies.SetActive(true);
        std::vector<double> trips;
        LARGE_INTEGER frequency, sent, got;
        QueryPerformanceFrequency(&frequency);
        for (int i = 1; i <= 100; ++i) {
            TMailSlot ask;
            ask.SetMailslot(msClient);
            ask.SetAlias(ServiceSlotAlias(serviceID));
            ask.SetActive(true);
            const std::string question = QuestionSlot(i);
            QueryPerformanceCounter(&sent);
            ask.WriteMsg(question.data(), MessageSize);
            ULONGLONG deadline = GetTickCount64() + 5000;
            while (replies.MsgCount() == 0 && GetTickCount64() < deadline) {
            }
            QueryPerformanceCounter(&got);
            if (replies.MsgCount() == 0)
                continue;
            char reply[MessageSize + 1] = {};
            replies.ReadMsg(reply, MessageSize);
            trips.push_back(static_cast<double>(got.QuadPart - sent.QuadPart) * 1000.0 /
                            static_cast<double>(frequency.QuadPart));
        }
        std::printf("liveness round trip: median %.3f ms over %zu answers (max %.3f ms)\n", Median(trips),
                    trips.size(), trips.empty() ? -1.0 : *std::max_element(trips.begin(), trips.end()));
    }
    DWORD stubPid = Status(service).dwProcessId;
    HANDLE host = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, stubPid);
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    GetProcessTimes(host, &created, &exited, &kernel0, &user0);
    Sleep(10000);
    GetProcessTimes(host, &created, &exited, &kernel1, &user1);
    std::printf("host CPU over 10 s idle: %.3f ms (kernel %.3f, user %.3f)\n",
                Ms(kernel0, kernel1) + Ms(user0, user1), Ms(kernel0, kernel1), Ms(user0, user1));
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(host, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
        std::printf("host private memory: %.1f KiB (working set %.1f KiB)\n", memory.PrivateUsage / 1024.0,
                    memory.WorkingSetSize / 1024.0);
    CloseHandle(host);
    Stop(service);

    // Exit to restart: the old process's exit time to the new one's creation.
    ini.WriteString(description, ParametersKey, "sleep:300 exit:3");
    std::vector<double> restarts;
    for (int round = 0; round < 5; ++round) {
        DeleteFileA(log.c_str());
        StartServiceA(service, 0, nullptr);
        if (!WaitFor([&] { return NumberAfter(ReadText(log), "with pid ", 0) > 0; }, 10000, PollMs))
            break;
        HANDLE first = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                   static_cast<DWORD>(NumberAfter(ReadText(log), "with pid ", 0)));
        WaitForSingleObject(first, 5000);
        WaitFor([&] { return NumberAfter(ReadText(log), "with pid ", 1) > 0; }, 5000, PollMs);
        HANDLE second = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                    static_cast<DWORD>(NumberAfter(ReadText(log), "with pid ", 1)));
        FILETIME c1, e1, k, u, c2, e2;
        if (first && second && GetProcessTimes(first, &c1, &e1, &k, &u) && GetProcessTimes(second, &c2, &e2, &k, &u))
            restarts.push_back(Ms(e1, c2));
        if (first)
            CloseHandle(first);
        if (second)
            CloseHandle(second);
        Stop(service);
    }
    std::printf("exit to first restart: median %.3f ms over %zu rounds\n", Median(restarts), restarts.size());

    // From the stop request to a silent host, to the program and its child
    // ended, and to the service stopped.
    ini.WriteString(description, ParametersKey, "pid child wait");
    std::vector<double> silent, treeGone, stopped;
    for (int round = 0; round < 5; ++round) {
        DeleteFileA(log.c_str());
        StartServiceA(service, 0, nullptr);
        if (!WaitFor([&] { return NumberAfter(ReadText(log), "child pid ", 0) > 0; }, 10000, PollMs) ||
            !WaitFor([&] { return Listening(serviceID); }, 5000, PollMs))
            break;
        std::string text = ReadText(log);
        HANDLE tree[] = {OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(NumberAfter(text, "out: pid "))),
                         OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(NumberAfter(text, "child pid ")))};
        LARGE_INTEGER asked;
        QueryPerformanceCounter(&asked);
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        while (Listening(serviceID)) {
        }
        silent.push_back(Since(asked));
        if (tree[0] && tree[1] && WaitForMultipleObjects(2, tree, TRUE, 20000) == WAIT_OBJECT_0)
            treeGone.push_back(Since(asked));
        if (WaitFor([&] { return Status(service).dwCurrentState == SERVICE_STOPPED; }, 20000, PollMs))
            stopped.push_back(Since(asked));
        for (HANDLE process : tree)
            if (process)
                CloseHandle(process);
    }
    std::printf("stop request to silent host: median %.3f ms over %zu rounds (max %.3f ms)\n", Median(silent),
                silent.size(), silent.empty() ? -1.0 : *std::max_element(silent.begin(), silent.end()));
    std::printf("stop request to program tree gone: median %.3f ms over %zu rounds\n", Median(treeGone),
                treeGone.size());
    std::printf("stop request to service stopped: median %.3f ms over %zu rounds\n", Median(stopped),
                stopped.size());

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf("uninstall exit code: %d\n", RunAndWait("\"" + copy + "\" -u"));
    DeleteFileA(copy.c_str());
    DeleteFileA(log.c_str());
    return 0;
}
