#include <windows.h>

#include <cstdlib>

#include "stub/Registration.h"
#include "stub/ServiceHost.h"
#include "stub/StubCommand.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"
#include "toolkit/Error.h"
#include "toolkit/Prompter.h"

TPrompter& StubPrompter();

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    SetDefaultPrompter(&StubPrompter());
    const std::string ownPath = ExecutablePath();
    switch (ParseCommand(__argc, __argv)) {
    case TStubCommand::Install:
        try {
            InstallService(ownPath);
            return 0;
        } catch (const TError& error) {
            Prompter().Error("The service could not be installed.\r\r" + error.Message());
            return 1;
        }
    case TStubCommand::Uninstall:
        try {
            UninstallService(ownPath);
            return 0;
        } catch (const TError& error) {
            Prompter().Error("The service could not be uninstalled.\r\r" + error.Message());
            return 1;
        }
    case TStubCommand::Service:
        if (RunAsService())
            return 0;
        break;
    case TStubCommand::Usage:
        break;
    }
    Prompter().Information(UsageText(ownPath));
    return 2;
}
