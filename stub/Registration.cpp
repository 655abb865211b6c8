#include "stub/Registration.h"

#include <windows.h>

#include <optional>

#include "catalogue/Catalogue.h"
#include "deploy/ServiceConfig.h"
#include "deploy/ServiceOwner.h"
#include "platform/Memory.h"
#include "platform/Owner.h"
#include "platform/Services.h"
#include "stub/StubLog.h"
#include "stub/StubSettings.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"

namespace {

// The stop at uninstall waits this long at most; the host itself needs a
// few seconds to end its program.
constexpr DWORD UninstallStopWaitMs = 20000;


[[noreturn]] void Fail(const std::string& what, DWORD error)
{
    throw TError(what + ": " + SystemMessage(error) + "\r\rResult: \"" + ErrorName(error) + "\"");
}

// A named account's password, as the manager hands it over: on standard
// input, never on the command line. "" when there is none.
TSecret PasswordFromInput()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // A console would wait for someone to type.
    TSecret password;
    if (!input || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE)
        return password;
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0)
        password.Append(buffer, read);
    MemoryApi().SecureZeroMemory(buffer, sizeof buffer);
    return password;
}

// An open registry key.
using TRegistryKey = TOwner<TNullKind<HKEY, ::RegCloseKey>>;

enum class TSourceOwner { Absent, ThisCopy, Other };

// Whose the event-log source is: absent, this copy's (its message file is
// this very file), or another program's; messageFile gets what it names.
TSourceOwner EventSourceOwner(const std::string& source, const TFilePath& own, std::string& messageFile)
{
    TRegistryKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    if (result == ERROR_FILE_NOT_FOUND)
        return TSourceOwner::Absent;
    if (result != ERROR_SUCCESS)
        Fail("The event-log source \"" + source + "\" could not be read", static_cast<DWORD>(result));
    char value[4 * MAX_PATH] = {};
    DWORD type = 0, size = sizeof value - 1;
    messageFile.clear();
    if (RegQueryValueExA(key.Get(), "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        messageFile = value;
        char expanded[4 * MAX_PATH];
        if (type == REG_EXPAND_SZ) {
            DWORD length = ExpandEnvironmentStringsA(value, expanded, sizeof expanded);
            if (length > 0 && length <= sizeof expanded)
                messageFile = expanded;
        }
    }
    return own.Names(messageFile) ? TSourceOwner::ThisCopy : TSourceOwner::Other;
}

std::string ForeignSourceText(const std::string& source, const std::string& messageFile)
{
    return "The event-log source \"" + source + "\" belongs to another program (" +
           (messageFile.empty() ? std::string("without a message file") : messageFile) +
           "), not to Quorvane: it is left as it is.";
}

void RegisterEventSource(const std::string& source, const std::string& ownPath)
{
    TRegistryKey key;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, key.Receive(), &disposition);
    if (result != ERROR_SUCCESS)
        Fail("The event-log source \"" + source + "\" could not be registered", static_cast<DWORD>(result));
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    result = RegSetValueExA(key.Get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(ownPath.c_str()), static_cast<DWORD>(ownPath.size() + 1));
    if (result == ERROR_SUCCESS)
        result = RegSetValueExA(key.Get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                sizeof types);
    if (result != ERROR_SUCCESS) {
        // A key of ours without its message file would read as another's.
        if (disposition == REG_CREATED_NEW_KEY)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str());
        Fail("The event-log source \"" + source + "\" could not be registered", static_cast<DWORD>(result));
    }
}

// Refuses a service that runs another program.
TRefusal ForeignRefusal(SC_HANDLE service, const std::string& name, const TFilePath& own)
{
    std::optional<std::string> binaryPath = RegisteredBinaryPath(service);
    if (!binaryPath) {
        const DWORD error = GetLastError();
        Fail("The registration of the service \"" + name + "\" could not be read", error);
    }
    if (!BinaryPathRuns(*binaryPath, own))
        return TRefusal(ForeignServiceText(name, *binaryPath));
    return {};
}

// The recovery actions, then the entry's settings, on a fresh registration
// or on one registeredBefore. A refused setting does not undo the
// registration: the refusals are returned.
std::vector<std::string> Configure(SC_HANDLE service, const std::string& description, const std::string& ownPath,
                                   bool registeredBefore)
{
    // Should the host itself die, the Service Control Manager starts it
    // again; the count of failures resets after a day.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    if (!ServiceApi().ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        const DWORD error = GetLastError();
        Fail("The recovery actions of the service \"" + description + "\" could not be set", error);
    }

    const TCatalogueSnapshot catalogue;
    const TIniDocument& ini = catalogue.Document();
    const std::string program = ini.ReadString(description, ProgramKey, "");
    const TServiceSettings settings = ReadServiceSettings(ini, description);
    // What the registration holds now: the defaults, without a description.
    TServiceConfig registered = ServiceConfigOf({}, program);
    registered.Description.clear();
    // Registering again resets the account, start type and dependencies,
    // but not what the old registration held beyond them.
    if (registeredBefore)
        registered = HeldServiceConfig(service, registered);
    const TSecret password = AccountNeedsPassword(settings.Account) ? PasswordFromInput() : TSecret();
    std::vector<std::string> refusals;
    if (AccountNeedsPassword(settings.Account) && password.Empty())
        refusals.push_back(PasswordNeededText(settings.Account) + ": the service runs as LocalSystem");
    TServiceConfig wanted = ServiceConfigOf(settings, program);
    if (!refusals.empty())
        wanted.Account = registered.Account;
    const std::string logFile =
        ini.ReadBool(description, LogToFileKey, false) ? ini.ReadString(description, LogFileKey, "") : "";
    for (std::string& refusal : ApplyServiceConfig(service, description, wanted, registered, password,
                                                   {ownPath, logFile}))
        refusals.push_back(std::move(refusal));
    return refusals;
}

// The description of the entry that names this copy. A copy no listed entry
// names (the shipped Vantorer.bin, a copy left behind) would register a
// service the manager knows nothing of, and is refused.
std::string NamingEntry(const TFilePath& own)
{
    const std::string& ownPath = own.Path();
    const std::string description = OwnDescription(own);
    const TCatalogueSnapshot catalogue;
    const int index = catalogue.FindDescription(description);
    if (index == -1 ||
        !own.Names(catalogue.Document().ReadString(catalogue.Description(index), VantorerKey, "")))
        throw TError("No entry of the catalogue " + std::string(CatalogueFileName) +
                     " names this copy of the service host (\"" + ownPath +
                     "\"). Quorvane makes a copy for each entry it installs and registers it itself: "
                     "nothing was registered.");
    return description;
}

bool WaitForStopped(SC_HANDLE service)
{
    ULONGLONG deadline = GetTickCount64() + UninstallStopWaitMs;
    SERVICE_STATUS state = {};
    while (QueryServiceStatus(service, &state) && state.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(100);
    }
    return true;
}

} // namespace

std::string EventSourceKey(const std::string& source)
{
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
}

std::string ErrorName(unsigned long error)
{
    const char* name = SystemErrorName(error);
    return name ? name : "error " + std::to_string(error);
}

TRefusal InstallService(const std::string& ownPath)
{
    // Compared with the catalogue, the service and the event source.
    const TFilePath own(ownPath);
    const std::string description = NamingEntry(own);
    const std::string binaryPath = "\"" + ownPath + "\"";
    TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        Fail("The Service Control Manager could not be opened", error);
    }
    // Everything is checked before the first change, so a refusal leaves
    // another program's service and event source exactly as they were.
    TServiceHandle existing(OpenServiceA(manager.Get(), description.c_str(),
                                         SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
    const DWORD openError = GetLastError();
    if (existing) {
        if (TRefusal foreign = ForeignRefusal(existing.Get(), description, own))
            return foreign;
    } else if (openError != ERROR_SERVICE_DOES_NOT_EXIST) {
        Fail("The service \"" + description + "\" could not be opened", openError);
    }
    std::string messageFile;
    if (EventSourceOwner(description, own, messageFile) == TSourceOwner::Other)
        return TRefusal(ForeignSourceText(description, messageFile) + "\r\rThe service \"" + description +
                        "\" was neither registered nor updated.");

    std::vector<std::string> refusals;
    if (existing) {
        // Registered before by this copy: brought back to a fresh
        // registration, on which the entry's settings are set again.
        if (!ServiceApi().ChangeServiceConfigA(existing.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, "\0",
                                               "LocalSystem", "", description.c_str())) {
            const DWORD error = GetLastError();
            Fail("The service \"" + description + "\" could not be updated", error);
        }
        refusals = Configure(existing.Get(), description, ownPath, true);
    } else {
        TServiceHandle created(CreateServiceA(manager.Get(), description.c_str(), description.c_str(),
                                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                              SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, nullptr,
                                              nullptr, nullptr));
        if (!created) {
            const DWORD error = GetLastError();
            Fail("The service \"" + description + "\" could not be registered", error);
        }
        refusals = Configure(created.Get(), description, ownPath, false);
    }
    RegisterEventSource(description, ownPath);
    if (refusals.empty())
        return {};
    std::string text;
    for (const std::string& refusal : refusals)
        text += refusal + "\r";
    throw TSettingsRefused(text + "\rThe service \"" + description + "\" is registered with every other setting.");
}

TRefusal UninstallService(const std::string& ownPath)
{
    const TFilePath own(ownPath);
    const std::string description = OwnDescription(own);
    TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD error = GetLastError();
        Fail("The Service Control Manager could not be opened", error);
    }
    {
        TServiceHandle service(OpenServiceA(manager.Get(), description.c_str(),
                                            SERVICE_QUERY_CONFIG | SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST)
                Fail("The service \"" + description + "\" could not be opened", error);
        } else {
            if (TRefusal foreign = ForeignRefusal(service.Get(), description, own))
                return foreign;
            SERVICE_STATUS state = {};
            if (QueryServiceStatus(service.Get(), &state) && state.dwCurrentState != SERVICE_STOPPED) {
                if (state.dwCurrentState != SERVICE_STOP_PENDING &&
                    !ControlService(service.Get(), SERVICE_CONTROL_STOP, &state)) {
                    const DWORD error = GetLastError();
                    if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
                        Fail("The service \"" + description + "\" could not be stopped", error);
                }
                // One that will not stop is still marked for deletion; it
                // goes when it ends.
                WaitForStopped(service.Get());
            }
            if (!DeleteService(service.Get())) {
                const DWORD error = GetLastError();
                if (error != ERROR_SERVICE_MARKED_FOR_DELETE)
                    Fail("The service \"" + description + "\" could not be removed", error);
            }
        }
    }
    // Another program's source of that name stays, as its service would.
    std::string messageFile;
    if (EventSourceOwner(description, own, messageFile) != TSourceOwner::ThisCopy)
        return {};
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(description).c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        Fail("The event-log source \"" + description + "\" could not be removed", static_cast<DWORD>(result));
    return {};
}
