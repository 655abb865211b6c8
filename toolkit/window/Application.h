#pragma once
#include <windows.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

// What a modal window returns.
enum TModalResult : int {
    mrNone = 0,
    mrOk = IDOK,         // closed with OK or Finish
    mrCancel = IDCANCEL, // closed with Cancel, Esc or the close box
};

// The running program: its title, the window messages it shares with other
// programs by name, the standard error box and the terminating flag that
// waits check.
class TApplication {
public:
    std::string Title = "Korvalith's Quorvane";
    bool Terminated = false;

    // Registered at start, so each name has its number, the same in every
    // program, before any window asks for it.
    std::vector<std::string> MessageNames;
    void RegisterMessages();

    // The standard error box: the message with a full stop where it lacks
    // one; the program goes on.
    void HandleException(const std::exception& error);
    // Runs whatever window messages are waiting, then returns.
    void ProcessMessages();
    // Runs window messages until the handle is signalled (true), the time is
    // up, the program ends or ending() says so (false).
    bool WaitFor(HANDLE handle, DWORD milliseconds, const std::function<bool()>& ending);

    // The window message boxes belong to, so they block it whether or not
    // the program is active: the topmost modal window that is up, otherwise
    // the main window.
    HWND MainWindow = nullptr;
    HWND BoxOwner() const;
    void BeginModal(HWND window) { modal_.push_back(window); }
    void EndModal(HWND window) { std::erase(modal_, window); }

    // The folder of the running executable, with its trailing backslash.
    static std::string ExeFolder();

private:
    std::vector<HWND> modal_;
};

TApplication& Application();
