#include "toolkit/window/Application.h"

#include "toolkit/MessagePump.h"

#include "toolkit/Paths.h"
#include "toolkit/Prompter.h"

TApplication& Application()
{
    static TApplication application;
    return application;
}

void TApplication::RegisterMessages()
{
    for (const std::string& name : MessageNames)
        RegisterWindowMessageA(name.c_str());
}

void TApplication::HandleException(const std::exception& error)
{
    Prompter().StandardError(StandardErrorText(error.what()));
}

void TApplication::ProcessMessages()
{
    if (!PumpMessages())
        Terminated = true;
}

bool TApplication::WaitFor(HANDLE handle, DWORD milliseconds, const std::function<bool()>& ending)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds)
            return false;
        DWORD woke = MsgWaitForMultipleObjectsEx(1, &handle, milliseconds - spent, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0)
            return true;
        if (woke != WAIT_OBJECT_0 + 1)
            return false;
        ProcessMessages();
        if (Terminated || (ending && ending()))
            return false;
    }
}

HWND TApplication::BoxOwner() const
{
    for (auto window = modal_.rbegin(); window != modal_.rend(); ++window)
        if (IsWindow(*window) && IsWindowVisible(*window))
            return *window;
    return MainWindow && IsWindow(MainWindow) ? MainWindow : GetActiveWindow();
}

std::string TApplication::ExeFolder()
{
    std::string folder = FolderOf(ExecutablePath());
    return folder.empty() || folder.back() == '\\' ? folder : folder + "\\";
}
