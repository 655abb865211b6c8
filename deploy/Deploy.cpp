#include "deploy/Deploy.h"

#include <windows.h>

#include "deploy/AccountAccess.h"
#include "deploy/ServiceEnd.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceState.h"
#include "deploy/StubNames.h"
#include "platform/Kernel.h"
#include "platform/Shell.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"

namespace {

constexpr WORD LaunchShowMode = SW_SHOW;

constexpr const char* InstallFailure =
    "The Service could not be installed !\r\rFailure while Executing \"-Install\" of file: \r    \"";
constexpr const char* UninstallFailure =
    "The Service could not be uninstalled !\r\rFailure while Executing \"-Uninstall\" of file: \r    \"";

// A pipe whose reading end holds the password, for the service host's
// standard input: a password never goes on a command line.
TKernelHandle PasswordInput(const TSecret& password)
{
    // Only the reading end is ever inheritable: a writing end another
    // thread's child inherited would keep the pipe open for ever.
    TKernelHandle read, write;
    if (!CreatePipe(read.Receive(), write.Receive(), nullptr, static_cast<DWORD>(password.Size() + 1)) ||
        !SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return TKernelHandle();
    DWORD written = 0;
    if (!WriteFile(write.Get(), password.Chars(), static_cast<DWORD>(password.Size()), &written, nullptr))
        return TKernelHandle();
    return read;
}

// Starts the command line with its window shown; the process comes back
// owned, or empty when the program could not be started.
TKernelHandle Launch(const std::string& commandLine, bool reportToConsole, const TSecret& password)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = LaunchShowMode;
    TKernelHandle console;
    if (reportToConsole) {
        // Without a standard error of its own (a scheduled task, an agent),
        // the host's texts go nowhere rather than into a box nobody sees.
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        HANDLE inheritable = nullptr;
        if (error && error != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), &inheritable, 0, TRUE,
                            DUPLICATE_SAME_ACCESS)) {
            console = TKernelHandle(inheritable);
        } else {
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            console = TKernelHandle(
                CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
        }
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdError = console.Get();
    }
    TKernelHandle input;
    if (!password.Empty()) {
        input = PasswordInput(password);
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = input.Get();
    }
    PROCESS_INFORMATION started = {};
    std::string line = commandLine; // the call may write into it
    if (!ShellApi().CreateProcessA(nullptr, line.data(), nullptr, nullptr, console || input ? TRUE : FALSE, 0,
                                   nullptr, nullptr, &startup, &started))
        return TKernelHandle();
    TKernelHandle thread(started.hThread);
    return TKernelHandle(started.hProcess);
}

// Deletes the copy, whether or not it is still there.
void DeleteCopy(const std::string& path)
{
    if (DeleteFileA(path.c_str()))
        return;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND)
        throw THostRunError("The service host copy \"" + path + "\" could not be deleted: " + SystemMessage(code));
}

} // namespace

std::string RunningServiceText(const std::string& description)
{
    return "The service \"" + description + "\" is Running\r\r"
           "To be able to De-install the service you will first have to\r\r"
           "Stop the Service in Control Panel's \"Services\" icon !\r\r"
           "Please Stop the Service and then try Uninstall again...";
}

std::string StubCopyPath(const std::string& description)
{
    std::string folder = StubFolder();
    if (!FolderExists(folder) && !CreateDirectoryA(folder.c_str(), nullptr)) {
        DWORD code = GetLastError();
        throw TError("Unable to create the folder \"" + folder + "\" for the service hosts: " + SystemMessage(code));
    }
    return StubCopyFile(description);
}

std::string StubSourcePath()
{
    return FolderOf(ExecutablePath()) + "\\" + StubSourceName;
}

bool TDeployment::Succeeded() const
{
    return Outcome == TEntryOutcome::Done && (RunExitCode == HostRunDone || RunExitCode == HostRunSettingsRefused);
}

namespace {

// Deploys the working entry; the caller holds the write lock.
TDeployment Deploy(TCatalogue& catalogue, bool install, const THostRun& hostRun)
{
    TCatalogueEntry& entry = catalogue.Entry();
    // A hand-edited or older catalogue never met the wizard's checks: a
    // description that cannot name a file in the stub folder would copy,
    // run or delete something elsewhere.
    if (TRefusal refused = FileNameRefusal(entry.Description))
        throw TError("The service \"" + entry.Description + "\" cannot be " +
                     (install ? "installed: " : "uninstalled: ") + refused.Reason());
    // Another program's service of that name is not ours to take over.
    if (install)
        if (TRefusal foreign = ForeignService({entry.Description, StubCopyFile(entry.Description)}))
            throw TError(foreign.Reason());
    entry.StubPath = StubCopyPath(entry.Description);
    TDeployment done;
    done.StubPath = entry.StubPath;
    const std::string& stubPath = done.StubPath;

    // An uninstall needs a copy to run; an install always takes a fresh one.
    // Without it an older host would run, or none: nothing is recorded then.
    if ((install || !FileExists(stubPath)) && !CopyFileA(StubSourcePath().c_str(), stubPath.c_str(), FALSE)) {
        DWORD code = GetLastError();
        throw TError("The service host \"" + StubSourcePath() + "\" could not be copied to \"" + stubPath +
                     "\": " + SystemMessage(code));
    }

    // The host finds its entry by this path when it runs.
    catalogue.RecordStubPath(entry.Description, stubPath);

    std::string commandPath = stubPath.find(' ') == std::string::npos ? stubPath : "\"" + stubPath + "\"";
    TKernelHandle run = Launch(commandPath + (install ? InstallSwitch : UninstallSwitch), hostRun.ReportToConsole,
                               install ? hostRun.Password : TSecret());
    // What the catalogue records is what happened: a run that failed, was
    // refused or could not start leaves the state it had.
    if (!run)
        throw THostRunError((install ? InstallFailure : UninstallFailure) + commandPath + "\"");
    // The registration is in place (or refused) once the run is over; and
    // Windows keeps a running program's file, so an uninstall can delete the
    // copy only then.
    if (hostRun.Await)
        hostRun.Await(run.Get());
    else
        WaitForSingleObject(run.Get(), HostRunLimit);
    GetExitCodeProcess(run.Get(), &done.RunExitCode);
    if (done.RunExitCode == STILL_ACTIVE)
        throw THostRunError(std::string("The service host's ") + (install ? "install" : "uninstall") +
                            " run did not end in time");
    // A service still registered needs its copy, so only a done uninstall
    // deletes it.
    if (done.Succeeded()) {
        catalogue.RecordInstalled(entry.Description, install);
        entry.Installed = install;
        if (!install) {
            DeleteCopy(stubPath);
            // What its account was given goes with the service; a copy of
            // any age ran the uninstall, so the manager takes it back.
            std::string refused;
            for (const std::string& refusal : RevokeAccountAccess(stubPath))
                refused += "\r" + refusal;
            // How the service last ended tells nothing once it is gone.
            RemoveServiceEnd(stubPath);
            if (!refused.empty())
                throw THostRunError("The service \"" + entry.Description + "\" was uninstalled, but not all the "
                                    "access its account was given could be taken back:" + refused);
        }
    }
    return done;
}

} // namespace

TDeployment DeployEntry(TCatalogue& catalogue, const TEntryKey& key, bool install, const THostRun& hostRun)
{
    const TIniWriteLock lock(catalogue.FileName());
    TDeployment done;
    done.Outcome = catalogue.LoadEntry(key);
    if (done.Outcome != TEntryOutcome::Done)
        return done;
    const TCatalogueEntry& entry = catalogue.Entry();
    // So already only when the Service Control Manager agrees with the entry.
    if (entry.Installed == install) {
        TServiceState state = TServiceStates().State(entry.Description, StubCopyFile(entry.Description));
        bool registered = state != TServiceState::NotRegistered && state != TServiceState::Foreign;
        if (registered == install) {
            done.Outcome = install ? TEntryOutcome::Installed : TEntryOutcome::NotInstalled;
            return done;
        }
    }
    return Deploy(catalogue, install, hostRun);
}

TDeployment DeployEntry(TCatalogue& catalogue, int index, bool install, const THostRun& hostRun)
{
    // Held from the index's look-up on: the key names the entry the index did.
    const TIniWriteLock lock(catalogue.FileName());
    catalogue.LoadEntry(index);
    const TCatalogueEntry& entry = catalogue.Entry();
    return DeployEntry(catalogue, TEntryKey{entry.Description, entry.ServiceID}, install, hostRun);
}
