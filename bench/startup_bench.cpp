// Times how long the manager takes from process start to its main window
// shown with an empty catalogue and with 200 and 2,000 entries loaded,
// against a bare Win32 window in the same Wine prefix. Run with no
// arguments; it starts itself as the bare window and Quorvane.exe from the
// ship folder.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "bench/SampleCatalogue.h"
#include "catalogue/Catalogue.h"
#include "fixtures/PlainWindow.h"
#include "fixtures/SavedCatalogue.h"
#include "toolkit/Paths.h"

namespace {

LRESULT CALLBACK BareProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

int RunBareWindow()
{
    UpdateWindow(CreatePlainWindow("QuorvaneBareWindow", BareProc, "Bare window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                   200, 104, 525, 301));
    RunMessages();
    return 0;
}

// Starts the command and waits until a visible window with the caption
// appears; then closes it and returns the milliseconds it took to appear.
double TimeToWindow(const std::string& command, const char* caption)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    auto start = std::chrono::steady_clock::now();
    std::string line = command;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    HWND window = nullptr;
    while (!(window = FindWindowA(nullptr, caption)) || !IsWindowVisible(window)) {
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0)
            return -1;
    }
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--bare")
        return RunBareWindow();

    const std::string manager = "\"" + FolderOf(ExecutablePath()) + "\\..\\dist\\Quorvane.exe\"";

    // The manager's own catalogue, saved and put back afterwards.
    TSavedCatalogue saved;
    const std::string& catalogueFile = saved.Path();
    const std::string bareCommand = "\"" + ExecutablePath() + "\" --bare";
    const char* caption = "Korvalith's Vantorer - NT Service Generator/Moderator";
    const std::string sized[] = {catalogueFile + ".200", catalogueFile + ".2000"};
    MakeCatalogue(sized[0], 200);
    MakeCatalogue(sized[1], 2000);
    // Turn about, so that a slower moment of the machine does not fall on
    // one case alone.
    const int runs = 9;
    std::vector<double> bare, empty, small, large;
    for (int run = 0; run < runs; ++run) {
        bare.push_back(TimeToWindow(bareCommand, "Bare window"));
        DeleteFileA(catalogueFile.c_str());
        empty.push_back(TimeToWindow(manager, caption));
        CopyFileA(sized[0].c_str(), catalogueFile.c_str(), FALSE);
        small.push_back(TimeToWindow(manager, caption));
        CopyFileA(sized[1].c_str(), catalogueFile.c_str(), FALSE);
        large.push_back(TimeToWindow(manager, caption));
    }
    for (const std::string& file : sized)
        DeleteFileA(file.c_str());

    std::printf("process start to window shown, median of %d\n", runs);
    std::printf("bare Win32 window              %8.1f ms\n", Median(bare));
    std::printf("Quorvane, empty catalogue      %8.1f ms  (%.2f x bare)\n", Median(empty), Median(empty) / Median(bare));
    std::printf("Quorvane, 200 entries loaded   %8.1f ms  (%.2f x empty)\n", Median(small), Median(small) / Median(empty));
    std::printf("Quorvane, 2000 entries loaded  %8.1f ms  (%.2f x empty)\n", Median(large), Median(large) / Median(empty));
    return 0;
}
