#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "deploy/AccountAccess.h"
#include "deploy/Deploy.h"
#include "fixtures/Programs.h"
#include "fixtures/Watching.h"
#include "platform/Directories.h"
#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "platform/Shell.h"
#include "deploy/StubNames.h"
#include "tests/support/AccessLists.h"
#include "tests/support/Programs.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TempFiles.h"
#include "tests/support/Errors.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"

namespace {

// What the fakes below answer and record.
struct TFakeSystem {
    std::string windows;
    bool launches = true;
    std::vector<std::string> commandLines;
    std::vector<UINT> showModes;
    std::function<void()> atLaunch;
    DWORD hostExitCode = 0;
    // What the run found on its standard input, and whether it could inherit it.
    std::string input;
    bool inputInherited = false;
} fake;

UINT WINAPI FakeWindowsDirectory(LPSTR buffer, UINT size)
{
    if (fake.windows.size() >= size)
        return static_cast<UINT>(fake.windows.size() + 1);
    fake.windows.copy(buffer, fake.windows.size());
    buffer[fake.windows.size()] = 0;
    return static_cast<UINT>(fake.windows.size());
}

// A started run has ended with the code the test chose.
BOOL WINAPI RecordLaunch(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                         LPVOID, LPCSTR, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION started)
{
    fake.commandLines.push_back(commandLine);
    fake.showModes.push_back(startup->dwFlags & STARTF_USESHOWWINDOW ? startup->wShowWindow : 0);
    fake.input.clear();
    char buffer[256];
    DWORD read = 0;
    DWORD flags = 0;
    fake.inputInherited = startup->dwFlags & STARTF_USESTDHANDLES && startup->hStdInput &&
                          GetHandleInformation(startup->hStdInput, &flags) && flags & HANDLE_FLAG_INHERIT;
    if (startup->dwFlags & STARTF_USESTDHANDLES && startup->hStdInput)
        while (ReadFile(startup->hStdInput, buffer, sizeof buffer, &read, nullptr) && read > 0)
            fake.input.append(buffer, read);
    if (fake.atLaunch)
        fake.atLaunch();
    if (!fake.launches) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return FALSE;
    }
    started->hProcess = EndedProcess(fake.hostExitCode);
    started->hThread = nullptr;
    return TRUE;
}

// Every catalogue write ends in putting the new file in the old one's place.
BOOL WINAPI RefuseWrites(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A catalogue and a Windows directory of their own in a temporary folder;
// launches are recorded instead of run unless a test says otherwise.
class DeployTest : public ::testing::Test {
protected:
    TTempFolder folder;
    std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue{file};
    TIniFile ini{file};
    TScriptedPrompter prompter;
    TSeamOverride<decltype(TDirectoryApi::GetWindowsDirectoryA)> windowsSeam{DirectoryApi().GetWindowsDirectoryA,
                                                                              FakeWindowsDirectory};
    TSeamOverride<decltype(TShellApi::CreateProcessA)> launchSeam{ShellApi().CreateProcessA, RecordLaunch};

    void SetUp() override { UseWindowsDirectory("Windows"); }
    void TearDown() override { fake = TFakeSystem(); }

    void UseWindowsDirectory(const std::string& name)
    {
        fake.windows = folder.File(name);
        CreateDirectoryA(fake.windows.c_str(), nullptr);
    }
    std::string StubFolder() const { return fake.windows + "\\Vantorers"; }
    int Add(const std::string& description)
    {
        return catalogue.AppendEntry(description, "C:\\relay.exe", "", "", false);
    }
    std::string Read(const std::string& section, const std::string& key)
    {
        return ini.ReadString(section, key, "(missing)");
    }
    std::string Source() { return ReadTextFile(StubSourcePath()); }
};

} // namespace

TEST(DeployNamesTest, ReplaceSpacesTouchesBlanksOnly)
{
    EXPECT_EQ(ReplaceSpaces("Mail Relay", '!'), "Mail!Relay");
    EXPECT_EQ(ReplaceSpaces("  a  b ", '!'), "!!a!!b!");
    EXPECT_EQ(ReplaceSpaces("tab\there_%$", '!'), "tab\there_%$");
    EXPECT_EQ(ReplaceSpaces("", '!'), "");
}

TEST(DeployNamesTest, StubSourceLiesBesideTheRunningProgram)
{
    char self[MAX_PATH];
    std::string path(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    EXPECT_EQ(StubSourcePath(), path.substr(0, path.rfind('\\')) + "\\Vantorer.bin");
    EXPECT_TRUE(FileExists(StubSourcePath()));
}

TEST(DeployNamesTest, StubCopiesLiveInTheRealWindowsDirectory)
{
    char windows[MAX_PATH];
    std::string expected(windows, GetWindowsDirectoryA(windows, MAX_PATH));
    EXPECT_EQ(WindowsDirectory(), expected);

    std::string stubFolder = expected + "\\Vantorers";
    bool existed = FolderExists(stubFolder);
    EXPECT_EQ(StubCopyPath("Mail Relay"), stubFolder + "\\Mail!Relay.exe");
    EXPECT_TRUE(FolderExists(stubFolder));
    if (!existed)
        RemoveDirectoryA(stubFolder.c_str());
}

TEST_F(DeployTest, AWindowsDirectoryLongerThanTheBufferIsReadWhole)
{
    fake.windows = "C:\\" + std::string(300, 'w');
    EXPECT_EQ(WindowsDirectory(), fake.windows);
}

TEST_F(DeployTest, StubCopyPathMakesTheFolderOnceAndReportsWhyItCannot)
{
    EXPECT_EQ(StubCopyPath("Mail Relay"), StubFolder() + "\\Mail!Relay.exe");
    EXPECT_EQ(StubCopyPath("A"), StubFolder() + "\\A.exe");

    // A file where the folder belongs.
    UseWindowsDirectory("Blocked");
    WriteTextFile(StubFolder(), "not a folder");
    EXPECT_EQ(ErrorOf([] { StubCopyPath("Mail Relay"); }),
              "Unable to create the folder \"" + StubFolder() + "\" for the service hosts: " +
                  SystemMessage(ERROR_ALREADY_EXISTS));

    // A Windows directory that is not there.
    fake.windows = folder.File("Gone\\Windows");
    EXPECT_EQ(ErrorOf([] { StubCopyPath("Mail Relay"); }),
              "Unable to create the folder \"" + StubFolder() + "\" for the service hosts: " +
                  SystemMessage(ERROR_PATH_NOT_FOUND));
}

TEST_F(DeployTest, InstallCopiesRecordsThenLaunches)
{
    Add("Other");
    Add("Mail Relay");
    catalogue.SetLastCount(99);
    std::string copy = StubFolder() + "\\Mail!Relay.exe";
    // An older host is there already: an install always takes a fresh copy.
    ASSERT_TRUE(CreateDirectoryA(StubFolder().c_str(), nullptr));
    WriteTextFile(copy, "an older host");
    ASSERT_EQ(ReadTextFile(copy), "an older host");

    fake.atLaunch = [&] {
        // The host finds its entry by its copy's path when it starts; the
        // entry is installed once the host's run has done it.
        EXPECT_EQ(Read("Mail Relay", "Vantorer"), copy);
        EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
        EXPECT_TRUE(ReadTextFile(copy) == Source()) << "the older host was not replaced";
    };
    TDeployment done = DeployEntry(catalogue, 2, true);
    EXPECT_TRUE(done.Succeeded());
    EXPECT_EQ(Read("Mail Relay", "Installed"), "1");

    ASSERT_EQ(fake.commandLines.size(), 1u);
    EXPECT_EQ(fake.commandLines[0], copy + " -i");
    EXPECT_EQ(fake.showModes[0], 5u);
    EXPECT_EQ(done.StubPath, copy);
    EXPECT_EQ(catalogue.Entry().Description, "Mail Relay");
    EXPECT_EQ(catalogue.Entry().StubPath, copy);
    EXPECT_EQ(catalogue.LastCount(), 2);
    EXPECT_TRUE(FileExists(copy));
    EXPECT_EQ(Read("Other", "Vantorer"), "(missing)");
}

TEST_F(DeployTest, APasswordReachesTheInstallRunOnItsInputAndNowhereElse)
{
    Add("Mail Relay");
    THostRun run;
    run.Password = TSecret("s3cret \"pw\"");
    EXPECT_TRUE(DeployEntry(catalogue, 1, true, run).Succeeded());
    ASSERT_EQ(fake.commandLines.size(), 1u);
    EXPECT_EQ(fake.commandLines[0].find("s3cret"), std::string::npos);
    EXPECT_EQ(fake.input, run.Password);
    EXPECT_TRUE(fake.inputInherited);
    EXPECT_EQ(ReadTextFile(file).find("s3cret"), std::string::npos);
    // A host that registered the service but had a setting refused installed it.
    fake.hostExitCode = HostRunSettingsRefused;
    EXPECT_TRUE(DeployEntry(catalogue, 1, false, run).Succeeded());
    EXPECT_EQ(fake.input, "");
}

TEST_F(DeployTest, UninstallRunsTheCopyItFindsThenDeletesIt)
{
    Add("Mail Relay");
    std::string copy = StubFolder() + "\\Mail!Relay.exe";
    CreateDirectoryA(StubFolder().c_str(), nullptr);
    WriteTextFile(copy, "the installed host");

    TIniFile(file).WriteBool("Mail Relay", InstalledKey, true);
    // What the install gave its account goes with the uninstall.
    TKeptAccessLists lists;
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    const std::string logs = folder.File("Logs");
    CreateDirectoryA(logs.c_str(), nullptr);
    const std::vector<TKeptAce> untouched = lists.List(logs);
    ASSERT_TRUE(GrantAccountAccess(user, {copy, logs + "\\relay.log"}).empty());
    ASSERT_NE(untouched, lists.List(logs));
    fake.atLaunch = [&] {
        EXPECT_EQ(ReadTextFile(copy), "the installed host");
        EXPECT_EQ(Read("Mail Relay", "Vantorer"), copy);
        EXPECT_EQ(Read("Mail Relay", "Installed"), "1");
    };
    TDeployment done = DeployEntry(catalogue, 1, false);
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
    ASSERT_EQ(fake.commandLines.size(), 1u);
    EXPECT_EQ(fake.commandLines[0], copy + " -u");
    EXPECT_EQ(fake.showModes[0], 5u);
    EXPECT_FALSE(FileExists(copy));
    EXPECT_TRUE(done.Succeeded());
    EXPECT_EQ(untouched, lists.List(logs));
    EXPECT_FALSE(FileExists(GrantRecordFile(copy)));

    // A copy that cannot be deleted is said to be left; the uninstall is done.
    fake.atLaunch = nullptr;
    TIniFile(file).WriteBool("Mail Relay", InstalledKey, true);
    HANDLE held = CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const std::string left = ErrorOf([&] { DeployEntry(catalogue, 1, false); });
    CloseHandle(held);
    EXPECT_EQ(left.find("The service host copy \"" + copy + "\" could not be deleted: "), 0u) << left;
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
    EXPECT_TRUE(FileExists(copy));
}

TEST_F(DeployTest, UninstallRemakesAMissingCopyToRunIt)
{
    Add("Mail Relay");
    // Neither recorded as installed nor registered: nothing to uninstall.
    EXPECT_EQ(DeployEntry(catalogue, 1, false).Outcome, TEntryOutcome::NotInstalled);
    EXPECT_TRUE(fake.commandLines.empty());

    TIniFile(file).WriteBool("Mail Relay", InstalledKey, true);
    std::string copy = StubFolder() + "\\Mail!Relay.exe";
    bool copiedBeforeLaunch = false;
    fake.atLaunch = [&] { copiedBeforeLaunch = ReadTextFile(copy) == Source(); };
    DeployEntry(catalogue, 1, false);
    EXPECT_TRUE(copiedBeforeLaunch);
    EXPECT_FALSE(FileExists(copy));
}

// A blank in the Windows directory: quoted on the command line and in the
// failure box, never in the catalogue. What is recorded is what happened: a
// run that could not start, failed or was refused leaves the entry's state
// as it was, and an uninstall that did not happen keeps the copy its
// service still needs.
TEST_F(DeployTest, ARunThatDidNotHappenLeavesTheStateAsItWas)
{
    UseWindowsDirectory("Win Dir");
    Add("Mail Relay");
    std::string copy = StubFolder() + "\\Mail!Relay.exe";
    fake.launches = false;

    EXPECT_EQ(ErrorOf([&] { DeployEntry(catalogue, 1, true); }),
              "The Service could not be installed !\r\rFailure while Executing \"-Install\" of file: \r    \"\"" +
                  copy + "\"\"");
    ASSERT_EQ(fake.commandLines.size(), 1u);
    EXPECT_EQ(fake.commandLines[0], "\"" + copy + "\" -i");
    EXPECT_EQ(Read("Mail Relay", "Vantorer"), copy);
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
    fake.launches = true;
    fake.hostExitCode = HostRunRefused;
    EXPECT_FALSE(DeployEntry(catalogue, 1, true).Succeeded());
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
    fake.hostExitCode = HostRunDone;
    EXPECT_TRUE(DeployEntry(catalogue, 1, true).Succeeded());
    EXPECT_EQ(Read("Mail Relay", "Installed"), "1");

    fake.launches = false;
    EXPECT_EQ(ErrorOf([&] { DeployEntry(catalogue, 1, false); }),
              "The Service could not be uninstalled !\r\rFailure while Executing \"-Uninstall\" of file: \r    \"\"" +
                  copy + "\"\"");
    fake.launches = true;
    fake.hostExitCode = HostRunFailed;
    DeployEntry(catalogue, 1, false);
    EXPECT_EQ(Read("Mail Relay", "Installed"), "1");
    EXPECT_TRUE(FileExists(copy));
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(DeployTest, FailuresBeforeTheLaunchRunNothing)
{
    Add("Mail Relay");
    EXPECT_EQ(ErrorOf([&] { DeployEntry(catalogue, 0, true); }), "Wrong Service index (0");
    EXPECT_EQ(ErrorOf([&] { DeployEntry(catalogue, 2, false); }), "Wrong Service index (2");
    EXPECT_EQ(GetFileAttributesA(StubFolder().c_str()), INVALID_FILE_ATTRIBUTES);

    // The stub folder cannot be made: nothing copied, written or run.
    WriteTextFile(StubFolder(), "not a folder");
    EXPECT_NE(ErrorOf([&] { DeployEntry(catalogue, 1, true); }).find("Unable to create the folder"),
              std::string::npos);
    EXPECT_EQ(Read("Mail Relay", "Vantorer"), "(missing)");
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
    DeleteFileA(StubFolder().c_str());

    {
        TSeamOverride refuse(KernelApi().SetFileInformationByHandle, &RefuseWrites);
        EXPECT_EQ(ErrorOf([&] { DeployEntry(catalogue, 1, true); }), "Unable to write to QXServices.ini");
    }
    // No service host to copy: an older copy would run, or none.
    const std::string source = StubSourcePath();
    ASSERT_TRUE(MoveFileA(source.c_str(), (source + ".away").c_str()));
    EXPECT_NE(ErrorOf([&] { DeployEntry(catalogue, 1, true); }).find("could not be copied"), std::string::npos);
    MoveFileA((source + ".away").c_str(), source.c_str());
    EXPECT_TRUE(fake.commandLines.empty());
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_EQ(Read("Mail Relay", "Installed"), "0");
}

// The longest description accepted names a copy of the service host whose
// path the system's ANSI calls still take (MAX_PATH - 1 characters; Wine
// takes longer ones, Windows does not), and it installs.
TEST_F(DeployTest, TheLongestDescriptionAcceptedStillInstalls)
{
    std::string longest = "L";
    while (!DescriptionRefusal(longest + "L"))
        longest += "L";
    EXPECT_EQ(StubCopyFile(longest).size(), MAX_PATH - 1u);
    catalogue.AppendEntry(longest, "C:\\relay.exe", "", "", false);
    EXPECT_TRUE(DeployEntry(catalogue, 1, true).Succeeded());
    EXPECT_TRUE(FileExists(StubCopyFile(longest)));
}

TEST_F(DeployTest, TheCopyRunsForRealFromAPathWithABlank)
{
    TSeamOverride<decltype(TShellApi::CreateProcessA)> realLaunch(ShellApi().CreateProcessA, CreateProcessRetryingA);
    UseWindowsDirectory("Win Dir");
    Add("Mail Relay");
    std::string copy = StubFolder() + "\\Mail!Relay.exe";
    std::string record = copy + ".args";

    DeployEntry(catalogue, 1, true);
    ASSERT_TRUE(WaitFor([&] { return FileExists(record); }, 10000));
    EXPECT_EQ(ReadTextFile(record), "\"" + copy + "\" -i");

    // The host has ended or is about to; let it go before the folder does.
    WaitFor([&] { return DeleteFileA(copy.c_str()) != FALSE; }, 5000);
}
