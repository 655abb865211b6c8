#include <windows.h>

#include <cstdlib>

#include "deploy/StubNames.h"
#include "stub/Registration.h"
#include "stub/ServiceHost.h"
#include "stub/StubCommand.h"
#include "stub/StubSettings.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Prompter.h"

namespace {

int Register(TRefusal (*action)(const std::string&), const std::string& ownPath, const char* failure)
{
    try {
        if (TRefusal refused = action(ownPath)) {
            Prompter().Information(refused.Reason());
            return HostRunRefused;
        }
        return HostRunDone;
    } catch (const TSettingsRefused& refused) {
        Prompter().Error(refused.Message());
        return HostRunSettingsRefused;
    } catch (const std::exception& error) {
        Prompter().Error(std::string(failure) + "\r\r" + error.what());
        return HostRunFailed;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Nothing else of ours is on the screen: Windows' own boxes, in front.
    static TSystemPrompter prompter("Vantorer");
    SetDefaultPrompter(&prompter);
    const std::string ownPath = ExecutablePath();
    switch (ParseCommand(__argc, __argv)) {
    case TStubCommand::Install:
        return Register(InstallService, ownPath, "The service could not be installed.");
    case TStubCommand::Uninstall:
        return Register(UninstallService, ownPath, "The service could not be uninstalled.");
    case TStubCommand::Service:
        if (RunAsService())
            return HostRunDone;
        break;
    case TStubCommand::Usage:
        break;
    }
    Prompter().Information(UsageText(ownPath, OwnDescription(ownPath)));
    return HostRunUsage;
}
