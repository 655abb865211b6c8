#pragma once
#include <windows.h>

#include <exception>
#include <string>

// The running program: its title, the registered window messages, the
// standard error box and the terminating flag that waits check.
class TApplication {
public:
    std::string Title = "Korvalith's Quorvane";
    bool Terminated = false;

    UINT WM_SRVDoYouKnowMe = 0;
    UINT WM_SRVYesWhatDoYouWant = 0;
    UINT WM_SRVStopExecution = 0;
    void RegisterMessages();

    // The standard error box: the message with a full stop where it lacks
    // one; the program goes on.
    void HandleException(const std::exception& error);
    // Runs whatever window messages are waiting, then returns.
    void ProcessMessages();
    // The folder of the running executable, with its trailing backslash.
    static std::string ExeFolder();
};

TApplication& Application();

// Runs a handler, sending any error it raises to the standard error box:
// nothing may cross a Windows callback.
template <class F>
void Guarded(F&& handler)
{
    try {
        handler();
    } catch (const std::exception& error) {
        Application().HandleException(error);
    }
}
