#include "tests/ui/ServiceManagerFixture.h"

#include "deploy/Deploy.h"
#include "fixtures/Programs.h"
#include "deploy/ServiceConfig.h"
#include "deploy/ServiceOwner.h"
#include "deploy/StubNames.h"
#include "platform/Seam.h"
#include "platform/Services.h"
#include "platform/Shell.h"
#include "fixtures/StandInHost.h"
#include "tests/support/Programs.h"
#include "tests/support/TestServices.h"
#include "ui/SettingsDialog.h"

// The install, uninstall, start and stop commands as the window runs them.
namespace {

// Launches are recorded instead of run; a recorded run has already ended.
std::vector<std::string> launches;
// What the last run found on its standard input.
std::string launchInput;
bool refuseLaunches = false;
DWORD hostExitCode = 0;
BOOL WINAPI RecordLaunch(LPCSTR, LPSTR command, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                         LPCSTR, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION started)
{
    launches.emplace_back(command);
    launchInput.clear();
    char buffer[256];
    DWORD read = 0;
    if ((startup->dwFlags & STARTF_USESTDHANDLES) && startup->hStdInput)
        while (ReadFile(startup->hStdInput, buffer, sizeof buffer, &read, nullptr) && read > 0)
            launchInput.append(buffer, read);
    if (refuseLaunches)
        return SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
    started->hProcess = EndedProcess(hostExitCode);
    started->hThread = nullptr;
    return TRUE;
}

std::vector<std::string> serviceCalls;
std::string openedService;
template <class T>
T Noted(const std::string& call, T result)
{
    serviceCalls.push_back(call);
    return result;
}
const auto FakeHandle = reinterpret_cast<SC_HANDLE>(1);

// A Service Control Manager that accepts every request; the service it opens
// runs the entry's own copy of the host.
struct TAcceptingManager {
    TAcceptingManager() { serviceCalls.clear(); }
    TServiceApi& api = ServiceApi();
    TSeamOverride<decltype(TServiceApi::OpenSCManagerA)> a{
        api.OpenSCManagerA, [](LPCSTR, LPCSTR, DWORD) { return Noted("connect", FakeHandle); }};
    TSeamOverride<decltype(TServiceApi::OpenServiceA)> b{api.OpenServiceA, [](SC_HANDLE, LPCSTR name, DWORD) {
                                                             openedService = name;
                                                             return Noted("open " + openedService, FakeHandle);
                                                         }};
    TSeamOverride<decltype(TServiceApi::StartServiceA)> c{
        api.StartServiceA, [](SC_HANDLE, DWORD, LPCSTR*) { return Noted("start", TRUE); }};
    TSeamOverride<decltype(TServiceApi::ControlService)> d{
        api.ControlService, [](SC_HANDLE, DWORD, LPSERVICE_STATUS) { return Noted("stop", TRUE); }};
    TSeamOverride<decltype(TServiceApi::LockServiceDatabase)> e{
        api.LockServiceDatabase, [](SC_HANDLE) { return Noted("lock", reinterpret_cast<SC_LOCK>(3)); }};
    TSeamOverride<decltype(TServiceApi::UnlockServiceDatabase)> f{api.UnlockServiceDatabase,
                                                                  [](SC_LOCK) { return Noted("unlock", TRUE); }};
    TSeamOverride<decltype(TServiceApi::CloseServiceHandle)> g{api.CloseServiceHandle,
                                                               [](SC_HANDLE) { return Noted("close", TRUE); }};
    TSeamOverride<decltype(TServiceApi::QueryServiceConfigA)> h{
        api.QueryServiceConfigA, [](SC_HANDLE, LPQUERY_SERVICE_CONFIGA config, DWORD size, LPDWORD needed) {
            static std::string binary;
            binary = StubCopyFile(openedService);
            *needed = sizeof *config;
            if (size < *needed)
                return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
            *config = {};
            config->lpBinaryPathName = binary.data();
            return TRUE;
        }};
};

class ServiceCommandsTest : public ServiceManagerTest {
protected:
    TSeamOverride<decltype(TShellApi::CreateProcessA)> launch{ShellApi().CreateProcessA, &RecordLaunch};
    void SetUp() override
    {
        ServiceManagerTest::SetUp();
        launches.clear();
        refuseLaunches = false;
        hostExitCode = 0;
    }
    void TearDown() override
    {
        for (const char* d : {"Mail Relay", "Print Spool", "Alpha", "Old!Style"})
            DeleteFileA(StubCopyPath(d).c_str());
        DeleteFileA((StubCopyPath("Mail Relay") + ".args").c_str());
        ServiceManagerTest::TearDown();
    }
    void OpenQuick()
    {
        Open();
        // A stand-in for a stub that never answers need not keep us 5 s.
        form->Liveness().CommTimeout().SetInterval(200);
    }
};

} // namespace

TEST_F(ServiceCommandsTest, InstallDeploysTheHostMarksTheRowAndOffersToStart)
{
    Add("Mail Relay");
    OpenQuick();
    Select(0);
    prompter.AnswerNo();
    ClickButton("btnInstallService");

    const std::string copy = StubCopyPath("Mail Relay");
    ASSERT_EQ(launches, (std::vector<std::string>{copy + " -i"}));
    EXPECT_NE(copy.find("\\Vantorers\\Mail!Relay.exe"), std::string::npos);
    EXPECT_EQ(form->Liveness().CheckMode(), TCheckMode::Box);
    EXPECT_EQ(form->List().Image(0), 0);
    TIniFile ini(file);
    EXPECT_TRUE(ini.ReadBool("Mail Relay", InstalledKey, false));
    EXPECT_EQ(ini.ReadString("Mail Relay", VantorerKey, ""), copy);
    EXPECT_EQ(prompter.Texts("Confirm"), "Would you like to [start] executing the service ?\n");
    EXPECT_EQ(form->MemoLines()[6], "Currently an Active Service: Yes!");
    EXPECT_EQ(EnabledButtons(),
              "btnNewService btnStopService btnStartServiceNow btnUnInstallService btnCheckActive btnCheckAll");

    // Installing an installed entry (from the menu) deploys nothing.
    form->btnInstallServiceClick();
    EXPECT_EQ(launches.size(), 1u);
}

TEST_F(ServiceCommandsTest, ANamedAccountsPasswordIsAskedAtInstallAndReachesTheHostsInputOnly)
{
    Add("Mail Relay");
    TServiceSettings named;
    ASSERT_FALSE(SetSetting(named, TSetting::Account, "CORP\\relay"));
    ASSERT_EQ(catalogue.ChangeServiceSettings({"Mail Relay"}, {}, named), TEntryOutcome::Done);
    OpenQuick();
    Select(0);
    // Cancelled, nothing is installed.
    WhenBoxShown([](HWND box) { SendMessageA(GetDlgItem(box, IDCANCEL), BM_CLICK, 0, 0); });
    ClickButton("btnInstallService");
    EXPECT_TRUE(launches.empty());

    bool stayed = false;
    WhenBoxShown([&](HWND box) {
        SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        stayed = IsWindowVisible(box);
        SetDlgItemTextA(box, TPasswordDialog::PasswordId, "s3cret-pw");
        SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    });
    prompter.AnswerNo();
    ClickButton("btnInstallService");
    EXPECT_TRUE(stayed);
    EXPECT_EQ(prompter.Texts("Error"), PasswordNeededText("CORP\\relay") + "\n");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launchInput, "s3cret-pw");
    EXPECT_EQ(launches[0].find("s3cret"), std::string::npos);
    EXPECT_EQ(ReadTextFile(file).find("s3cret"), std::string::npos);
}

TEST_F(ServiceCommandsTest, AYesToStartRunsTheStartCommand)
{
    Add("Mail Relay");
    OpenQuick();
    Select(0);
    TAcceptingManager manager;
    prompter.AnswerYes();
    ClickButton("btnInstallService");
    // The install first makes sure no other program's service has the name.
    EXPECT_EQ(serviceCalls, (std::vector<std::string>{"connect", "open Mail Relay", "close", "close", "connect",
                                                      "open Mail Relay", "start", "close", "close"}));
    EXPECT_EQ(prompter.Texts("Information"), "The service was successfully initiated !\n");
    EXPECT_EQ(form->Liveness().ActiveService(1).Description, "Mail Relay");
    EXPECT_EQ(form->Liveness().ActiveService(1).ListIndex, 1);
}

TEST_F(ServiceCommandsTest, StopAsksFirstAndTakesTheLock)
{
    Add("Spare");
    Add("Mail Relay", true);
    OpenQuick();
    Select(RowOf("Mail Relay"));
    TAcceptingManager manager;
    prompter.AnswerNo();
    ClickButton("btnStopService");
    EXPECT_EQ(prompter.Texts("Confirm"), "This will stop the execution of the selected service !\r\r"
                                         "Are you sure you want to continue ?\n");
    EXPECT_TRUE(serviceCalls.empty());
    EXPECT_EQ(form->Liveness().ActiveService(2).Description, "");

    prompter.AnswerYes();
    ClickButton("btnStopService");
    EXPECT_EQ(serviceCalls, (std::vector<std::string>{"connect", "lock", "open Mail Relay", "stop", "close",
                                                      "unlock", "close"}));
    EXPECT_EQ(prompter.Texts("Information"), "The service was successfully stopped !\n");
    EXPECT_EQ(form->Liveness().ActiveService(2).ListIndex, 2);

    // The menu's Start runs the command whatever the button's state.
    serviceCalls.clear();
    EnableWindow(form->Control("btnStartServiceNow"), FALSE);
    HMENU manage = GetSubMenu(GetMenu(form->Handle()), 2);
    SendMessageA(form->Handle(), WM_COMMAND, GetMenuItemID(manage, 3), 0);
    EXPECT_EQ(serviceCalls[2], "start");
}

TEST_F(ServiceCommandsTest, StartingAnEntryThatIsNotInstalledReportsWindowsAnswer)
{
    Add("Never Installed Here");
    OpenQuick();
    Select(0);
    form->Click("btnStartServiceNow");
    EXPECT_EQ(prompter.Texts("Error"),
              "Error Opening Service \"Never Installed Here\". Result: \"ERROR_SERVICE_DOES_NOT_EXIST\"\n");
    // The refresh ran afterwards.
    EXPECT_EQ(form->MemoLines()[1], "Description: Never Installed Here");
}

TEST_F(ServiceCommandsTest, UninstallOfASilentServiceWaitsForTheHostThenRemovesItsCopy)
{
    Add("Mail Relay", true);
    OpenQuick();
    Select(0);
    {
        // The stand-in host beside the tests takes a second over an
        // uninstall, and Windows keeps a running program's file.
        TSeamOverride run(ShellApi().CreateProcessA, &CreateProcessRetryingA);
        ClickButton("btnUnInstallService");
    }
    const std::string copy = StubCopyPath("Mail Relay");
    EXPECT_EQ(ReadTextFile(copy + ".args"), copy + " -u");
    EXPECT_EQ(form->Liveness().CheckMode(), TCheckMode::Quiet);
    EXPECT_FALSE(FileExists(copy));
    EXPECT_FALSE(TIniFile(file).ReadBool("Mail Relay", InstalledKey, true));
    EXPECT_EQ(form->List().Image(0), 1);
    EXPECT_EQ(EnabledButtons(), "btnNewService btnDelete btnEditService btnInstallService btnCheckAll");
    EXPECT_TRUE(prompter.Texts("Error").empty()) << prompter.Texts("Error");

    // Uninstalling what is not installed only refreshes.
    form->btnUnInstallServiceClick();
    EXPECT_TRUE(launches.empty());
}

TEST_F(ServiceCommandsTest, AHostRunThatDidNotHappenLeavesTheEntryAsItWas)
{
    Add("Mail Relay");
    OpenQuick();
    Select(0);
    refuseLaunches = true;
    ClickButton("btnInstallService");
    const std::string copy = StubCopyPath("Mail Relay");
    EXPECT_EQ(prompter.Texts("Error"), "The Service could not be installed !\r\rFailure while Executing "
                                       "\"-Install\" of file: \r    \"" + copy + "\"\n");
    // The host refuses (it says why itself): nothing to start either.
    refuseLaunches = false;
    hostExitCode = HostRunRefused;
    ClickButton("btnInstallService");
    EXPECT_FALSE(TIniFile(file).ReadBool("Mail Relay", InstalledKey, false));
    EXPECT_EQ(form->List().Image(0), 1);
    EXPECT_EQ(prompter.Texts("Confirm"), "");

    TIniFile(file).WriteBool("Mail Relay", InstalledKey, true);
    form->FollowCatalogue();
    prompter.shown.clear();
    refuseLaunches = true;
    ClickButton("btnUnInstallService");
    EXPECT_EQ(prompter.Texts("Error"), "The Service could not be uninstalled !\r\rFailure while Executing "
                                       "\"-Uninstall\" of file: \r    \"" + copy + "\"\n");
    EXPECT_TRUE(TIniFile(file).ReadBool("Mail Relay", InstalledKey, false));
    EXPECT_TRUE(FileExists(copy));
    EXPECT_EQ(form->List().Image(0), 0);
}

TEST_F(ServiceCommandsTest, AHandEditedDescriptionThatLeavesTheHostFolderIsNeverDeployed)
{
    // Written by hand: the wizard refuses both descriptions, but only the
    // first names a file outside the host folder.
    WriteTextFile(file, "[Status]\r\nNumServices=2\r\nLastServiceID=2\r\nService_1=..\\Escape\r\n"
                        "Service_2=Old!Style\r\n[..\\Escape]\r\nServiceID=1\r\n[Old!Style]\r\nServiceID=2\r\n");
    const std::string outside = WindowsDirectory() + "\\Escape.exe";
    OpenQuick();
    Select(RowOf("..\\Escape"));
    ClickButton("btnInstallService");
    EXPECT_EQ(prompter.Texts("StandardError").rfind("The service \"..\\Escape\" cannot be installed: ", 0), 0u);
    EXPECT_TRUE(launches.empty());
    EXPECT_FALSE(FileExists(outside));
    DeleteFileA(outside.c_str());
    EXPECT_EQ(TIniFile(file).ReadString("..\\Escape", VantorerKey, "(none)"), "(none)");

    // An entry stored before "!" was refused still installs.
    prompter.AnswerNo();
    Select(RowOf("Old!Style"));
    ClickButton("btnInstallService");
    EXPECT_EQ(launches, (std::vector<std::string>{StubCopyPath("Old!Style") + " -i"}));
}

TEST_F(ServiceCommandsTest, AServiceOfAnotherProgramIsNeitherStartedStoppedNorUninstalled)
{
    const std::string name = "Quorvane Foreign Service";
    RemoveTestService(name);
    ASSERT_TRUE(CreateTestService(name, WindowsDirectory() + "\\system32\\notepad.exe"));
    Add(name, true);
    OpenQuick();
    Select(0);
    ClickButton("btnStartServiceNow");
    prompter.AnswerYes();
    ClickButton("btnStopService");
    ClickButton("btnUnInstallService");
    const std::string refusal = ForeignServiceText(name, ServiceBinary(name)) + "\n";
    RemoveTestService(name);

    EXPECT_EQ(prompter.Texts("Error"), refusal + refusal + refusal);
    EXPECT_TRUE(prompter.Texts("Information").empty());
    EXPECT_TRUE(launches.empty());
    EXPECT_EQ(form->Liveness().Sequence(), 0); // nobody was asked whether it runs
    EXPECT_TRUE(TIniFile(file).ReadBool(name, InstalledKey, false));
}

TEST_F(ServiceCommandsTest, RemovingAnInstalledEntryUninstallsItAndNothingElseRunsDuringTheWait)
{
    Add("Beta");
    Add("Alpha", true); // list index 2, service ID 2
    Add("Gamma");
    OpenQuick();
    TStandInHost alpha(2, Silent()); // the uninstall guard waits its full time
    Select(RowOf("Alpha"));
    prompter.AnswerYes(); // uninstall it automatically
    prompter.AnswerYes(); // and remove, whatever asks
    bool busy = false;
    WhenModal([&] {
        busy = form->Busy();
        Select(RowOf("Beta"));
        ClickButton("btnDelete");
        HMENU services = GetSubMenu(GetMenu(form->Handle()), 1);
        SendMessageA(form->Handle(), WM_COMMAND, GetMenuItemID(services, 3), 0);
    });
    form->btnDeleteClick();

    EXPECT_TRUE(busy);
    EXPECT_EQ(catalogue.Count(), 2);
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Beta", "Gamma"}));
    EXPECT_NE(prompter.Texts("Confirm").find("Are you sure you want to remove this service: Alpha\n"),
              std::string::npos);
    EXPECT_EQ(prompter.Texts("Confirm").find("Beta"), std::string::npos);
    EXPECT_EQ(launches, (std::vector<std::string>{StubCopyPath("Alpha") + " -u"}));
}

// Another program changes the catalogue under the open window: the list
// follows within a second, and a command acts on the entry its row shows,
// also before the list has followed.
TEST_F(ServiceCommandsTest, TheListFollowsOtherProgramsAndCommandsActOnTheEntryTheRowShows)
{
    Add("Alpha");
    Add("Mail Relay");
    Add("Print Spool");
    OpenQuick();
    TCatalogue(file).DeleteEntry(1);
    Select(RowOf("Mail Relay"));
    EXPECT_EQ(form->MemoLines()[1], "Description: Mail Relay");
    prompter.AnswerYes();
    ClickButton("btnStopService");
    EXPECT_EQ(prompter.Texts("Error"),
              "Error Opening Service \"Mail Relay\". Result: \"ERROR_SERVICE_DOES_NOT_EXIST\"\n");

    EXPECT_TRUE(PumpUntil([&] { return form->List().Captions().size() == 2; }, 3000));
    EXPECT_EQ(form->List().Selected(), RowOf("Mail Relay"));
    // Renamed and installed elsewhere: the selection goes with the entry.
    TCatalogue(file).UpdateEntry(1, "Mail Gateway", "C:\\relay.exe", "", "", false);
    TIniFile(file).WriteBool("Mail Gateway", InstalledKey, true);
    EXPECT_TRUE(PumpUntil([&] { return RowOf("Mail Gateway") >= 0; }, 3000));
    EXPECT_EQ(form->List().Selected(), RowOf("Mail Gateway"));
    EXPECT_EQ(form->List().Image(form->List().Selected()), 0);
    EXPECT_EQ(form->MemoLines()[6], "Currently an Active Service: Yes!");
    EXPECT_FALSE(Enabled("btnDelete"));
}
