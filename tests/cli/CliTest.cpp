#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "cli/Console.h"
#include "cli/Dispatch.h"
#include "deploy/Deploy.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/StandInHost.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "platform/ConsoleApi.h"
#include "platform/Kernel.h"
#include "platform/Memory.h"
#include "platform/Owner.h"
#include "platform/Seam.h"
#include "platform/Services.h"
#include "fixtures/Watching.h"
#include "tests/cli/QvRuns.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"
#include "toolkit/Paths.h"

// qv.exe run as a script runs it: its output, its exit codes and what it does
// to the catalogue and to Wine's Service Control Manager.
namespace {

using nlohmann::json;

const std::string Relay = "Mail Relay";

// "command "name"" (built by appending: GCC 12 warns wrongly on a literal
// added in front of a temporary string).
std::string On(const std::string& command, const std::string& name)
{
    std::string line = command;
    line += " \"";
    line += name;
    line += "\"";
    return line;
}

// The text as one command-line argument: in quotes, its quotes escaped.
std::string Argument(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return quoted + "\"";
}

// Starts with Windows, on demand, or never (the Service Control Manager then
// refuses to start it).
bool SetStartType(const std::string& name, DWORD startType)
{
    const TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const TServiceHandle service(OpenServiceA(manager.Get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    return ChangeServiceConfigA(service.Get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr);
}

json QvJson(const std::string& arguments)
{
    TProgramResult run = Qv(arguments + " --json");
    EXPECT_EQ(run.ExitCode, 0u) << arguments << ": " << run.Err;
    return json::parse(run.Out);
}

class CliTest : public ::testing::Test {
protected:
    TSavedCatalogue catalogue;
    const std::string program = WindowsPath(TEST_PROGRAM);

    void SetUp() override { RemoveTestService(Relay); }
    void TearDown() override
    {
        RemoveTestService(Relay);
        DeleteFileA(StubCopyFile(Relay).c_str());
    }
    void Expect(const std::string& arguments, DWORD code, const std::string& errorPart = "")
    {
        TProgramResult run = Qv(arguments);
        EXPECT_EQ(run.ExitCode, code) << arguments << "\nout: " << run.Out << "\nerr: " << run.Err;
        EXPECT_NE(run.Err.find(errorPart), std::string::npos) << arguments << ": " << run.Err;
    }
};

} // namespace

TEST_F(CliTest, AScriptTakesAnEntryAlongTheWholeRoadAndRepeatsEveryStepHarmlessly)
{
    const std::string add = "add \"" + Relay + "\" --program \"" + program + "\" --parameters wait";
    Expect(add, 0);
    Expect(add, 0);
    Expect("add \"mail relay\" --program \"" + program + "\"", 4,
           "A Service with this description already exists in the NT Service base !");

    json listed = QvJson("list");
    ASSERT_EQ(listed["entries"].size(), 1u);
    EXPECT_EQ(listed["entries"][0]["description"], Relay);
    EXPECT_EQ(listed["entries"][0]["parameters"], "wait");
    EXPECT_EQ(listed["entries"][0]["installed"], false);
    EXPECT_EQ(listed["entries"][0]["state"], "not registered");

    for (int time = 0; time < 2; ++time)
        Expect(On("install", Relay), 0);
    EXPECT_EQ(ServiceBinary(Relay), On("", StubCopyFile(Relay)).substr(1));
    Expect("edit \"" + Relay + "\" --parameters other", 9, "You can not edit a service when it is in [Installed]");
    for (int time = 0; time < 2; ++time)
        Expect(On("start", Relay), 0);
    EXPECT_EQ(ServiceState(Relay), static_cast<DWORD>(SERVICE_RUNNING));

    json checked = QvJson(On("check", Relay));
    EXPECT_EQ(checked["active"], true);
    json all = QvJson("check --all");
    ASSERT_EQ(all["services"].size(), 1u);
    EXPECT_EQ(all["services"][0]["serviceId"], 1);
    EXPECT_EQ(QvJson(On("show", Relay))["state"], "running");
    Expect(On("uninstall", Relay), 9, "The service \"Mail Relay\" is Running");

    for (int time = 0; time < 2; ++time)
        Expect(On("stop", Relay), 0);
    EXPECT_EQ(ServiceState(Relay), static_cast<DWORD>(SERVICE_STOPPED));
    Expect(On("check", Relay), 7);
    for (int time = 0; time < 2; ++time)
        Expect(On("uninstall", Relay), 0);
    EXPECT_EQ(ServiceState(Relay), 0u);
    EXPECT_FALSE(FileExists(StubCopyFile(Relay)));

    for (int time = 0; time < 2; ++time)
        Expect(On("remove", Relay), 0);
    EXPECT_EQ(TCatalogue(catalogue.Path()).Count(), 0);
    Expect(On("show", Relay), 3);
}

TEST_F(CliTest, RefusalsAndMistakesHaveTheirOwnCodesAndTheWindowsTexts)
{
    Expect("", 2, "No command given");
    Expect("list --all", 2, "\"list\" does not take the option \"--all\"");
    Expect("add X", 2, "\"add\" needs --program");
    Expect("add X --program a b", 2, "Too many arguments");
    Expect("launch X", 2, "Unknown command");
    Expect("show Nobody", 3);
    Expect("add CON.txt --program \"" + program + "\"", 4, "is a device name of Windows");
    Expect("add X --program C:\\nowhere.exe", 1, "Provided \"Program to execute\" is incorrect...");
    Expect("add X --program \"" + program + "\" --log-file \"\"", 1, "needs to know the file to log to");
    Expect("add X --program \"" + program + "\" --parameters \"-a\r\n[Forged]\"", 1, "cannot hold line breaks");
    // An option's value is the program's, even when it reads like a request for help.
    Expect("add Helpless --program=\"" + program + "\" --parameters /?", 0);
    EXPECT_EQ(QvJson("show Helpless")["parameters"], "/?");

    // Blanks, quotes inside and letters beyond ASCII travel as the window
    // keeps them; JSON carries them as UTF-8.
    const std::string odd = "Caf\u00E9 d'Or";
    Expect("add \"" + odd + "\" --program \"" + program + "\" --log-file C:\\cafe.log", 0);
    EXPECT_NE(Qv("show -- \"" + odd + "\"").Out.find("Description:  " + odd + "\r"), std::string::npos);
    json shown = json::parse(Qv("show --json -- \"" + odd + "\"").Out);
    EXPECT_EQ(shown["description"], "Caf\xC3\xA9 d'Or");
    EXPECT_EQ(shown["logToFile"], true);
    Expect("edit \"" + odd + "\" --description \"" + odd + "\" --event-log", 0);
    EXPECT_EQ(QvJson(On("show", odd))["logToFile"], false);
    Expect("add B --program \"" + program + "\"", 0);
    Expect("edit B --description \"" + odd + "\"", 4, "already exists");
}

TEST_F(CliTest, AServiceOfAnotherProgramIsNeverTouched)
{
    ASSERT_TRUE(CreateTestService(Relay, "\"" + program + "\" wait"));
    Expect("add \"" + Relay + "\" --program \"" + program + "\"", 0);
    for (const char* command : {"install", "start", "stop"})
        Expect(On(command, Relay), 5, "belongs to another program");
    EXPECT_EQ(ServiceBinary(Relay), "\"" + program + "\" wait");
    EXPECT_FALSE(TCatalogue(catalogue.Path()).IsInstalled(1));

    // Only the service host itself sees another program's event-log source;
    // it says so on qv's standard error instead of in a box.
    RemoveTestService(Relay);
    const std::string source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + Relay;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, source.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                   static_cast<DWORD>(program.size() + 1));
    RegCloseKey(key);
    Expect(On("install", Relay), 5, "The event-log source \"Mail Relay\" belongs to another program");
    EXPECT_EQ(ServiceState(Relay), 0u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, source.c_str());
    // The refused install recorded nothing: the entry is still the user's to change.
    EXPECT_EQ(QvJson(On("show", Relay))["installed"], false);
    Expect("edit \"" + Relay + "\" --parameters changed", 0);
}

// Scripts run side by side, each held at the catalogue's lock after it read
// what it was asked for: each acts on the entry it names, once.
TEST_F(CliTest, RunsHeldOnTheLockActOnTheEntriesTheyName)
{
    TCatalogue entries;
    for (const char* name : {"A", "B", "C", "D"})
        entries.AppendEntry(name, program, std::string("-") + name, "", false);
    const std::vector<std::string> runs = {
        "remove A", "remove C", "add \"" + Relay + "\" --program \"" + program + "\" --parameters one",
        "add \"" + Relay + "\" --program \"" + program + "\" --parameters two", "edit B --description Bee",
        "edit B --parameters changed"};
    std::vector<TProgramResult> results(runs.size());
    std::vector<std::thread> threads;
    {
        const TIniWriteLock held(CatalogueFileName);
        for (size_t run = 0; run < runs.size(); ++run)
            threads.emplace_back([&, run] { results[run] = Qv(runs[run]); });
        EXPECT_TRUE(WaitFor([&] { return QvsWaiting(runs.size()); }, 20000, 300));
    }
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(results[0].ExitCode + results[1].ExitCode, 0u) << results[0].Err << results[1].Err;
    EXPECT_EQ(results[2].ExitCode + results[3].ExitCode, 4u) << "one add, one duplicate";
    EXPECT_EQ(results[4].ExitCode, 0u) << results[4].Err;
    json listed = QvJson("list");
    std::vector<std::string> names;
    for (const json& entry : listed["entries"])
        names.push_back(entry["description"]);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Bee", "D", Relay}));
    EXPECT_EQ(QvJson("show D")["parameters"], "-D");
    // The other edit went first, or found its entry renamed and said so.
    if (results[5].ExitCode == 0)
        EXPECT_EQ(QvJson("show Bee")["parameters"], "changed");
    else
        EXPECT_NE(results[5].Err.find("was renamed \"Bee\" by another program meanwhile"), std::string::npos)
            << results[5].Err;
}

// What the catalogue records is what happened, values read back as given,
// and a script's every step can be repeated.
TEST_F(CliTest, RecordedStateAndValuesFollowWhatHappened)
{
    TTempFolder folder;
    const std::string log = folder.File("relay.log");
    // One argument with a blank, in quotes from end to end.
    const std::string parameters = "\"out:C:\\Web App\\server.js\" \"wait\"";
    const std::string add = "add \"" + Relay + "\" --program \"" + program + "\" --parameters " +
                            Argument(parameters) + " --log-file \"" + log + "\"";
    for (int time = 0; time < 2; ++time)
        Expect(add, 0);
    EXPECT_EQ(QvJson(On("show", Relay))["parameters"], parameters);
    Expect("add Long --program \"" + program + "\" --parameters " + std::string(1118, 'p'), 1,
           "The parameter line is 1118 characters long: the catalogue keeps at most 1023 characters");
    Expect("add Elsewhere --program \"" + program + "\" --log-file C:\\nowhere\\x.log", 4,
           "The folder \"C:\\nowhere\" of the log file does not exist");
    Expect(On("start", Relay), 9, "The service \"Mail Relay\" is not installed: qv install \"Mail Relay\"");

    // Recorded as installed, but its service was deleted behind our back:
    // installed again for real.
    Expect(On("install", Relay), 0);
    RemoveTestService(Relay);
    Expect(On("install", Relay), 0);
    EXPECT_EQ(ServiceState(Relay), static_cast<DWORD>(SERVICE_STOPPED));
    Expect(On("start", Relay), 0);
    EXPECT_TRUE(WaitFor([&] { return ReadTextFile(log).find("C:\\Web App\\server.js") != std::string::npos; },
                        15000))
        << ReadTextFile(log);
    Expect(On("stop", Relay), 0);
    // The Service Control Manager refuses to start a disabled service.
    ASSERT_TRUE(SetStartType(Relay, SERVICE_DISABLED));
    Expect(On("start", Relay), 6, "Unable to START Service. Result: \"ERROR_SERVICE_DISABLED\"");
    ASSERT_TRUE(SetStartType(Relay, SERVICE_AUTO_START));

    // A copy that cannot run uninstalls nothing, and says so every time.
    const std::string copy = StubCopyFile(Relay);
    WriteTextFile(copy, "not a program");
    for (int time = 0; time < 2; ++time)
        Expect(On("uninstall", Relay), 1, "The Service could not be uninstalled !");
    EXPECT_EQ(QvJson(On("show", Relay))["installed"], true);
    Expect(On("remove", Relay), 9, "Please uninstall the service first: qv uninstall \"Mail Relay\"");

    // Marked uninstalled while its service is still registered: it goes for real.
    ASSERT_TRUE(CopyFileA(WindowsPath(VANTORER_BIN).c_str(), copy.c_str(), FALSE));
    TIniFile(CatalogueFileName).WriteBool(Relay, InstalledKey, false);
    Expect(On("uninstall", Relay), 0);
    EXPECT_EQ(ServiceState(Relay), 0u);
    Expect(On("uninstall", Relay), 0);
    Expect(On("stop", Relay), 9, "is not installed");
}

// How an entry runs: set from the start or later, also while installed, the
// service's settings at once; each refusal names its setting and writes
// nothing.
TEST_F(CliTest, SettingsAreSetShownAndRefusedByName)
{
    Expect("add \"" + Relay + "\" --program \"" + program + "\" --start-type manual --log-keep 3 "
           "--env \"OPTS= -a \\\"b c\\\"\" --env MODE=x --depends-on RpcSs --depends-on PlugPlay "
           "--success-codes 0,-1 --log-daily --log-timestamps off",
           0);
    Expect(On("set", Relay) + " --unset-env mode", 0);
    json shown = QvJson(On("show", Relay))["settings"];
    EXPECT_EQ(shown["start-type"], (json{{"value", "manual"}, {"default", false}}));
    EXPECT_EQ(shown["account"], (json{{"value", "LocalSystem"}, {"default", true}}));
    EXPECT_EQ(shown["env"]["value"], (json{{"OPTS", " -a \"b c\""}}));
    EXPECT_EQ(shown["depends-on"]["value"], json::array({"RpcSs", "PlugPlay"}));
    EXPECT_EQ(shown["success-codes"]["value"], "0,4294967295");
    EXPECT_EQ(shown["log-daily"], (json{{"value", "on"}, {"default", false}}));
    EXPECT_EQ(shown["log-timestamps"]["value"], "off");
    const std::string text = Qv(On("show", Relay)).Out;
    EXPECT_NE(text.find("\nStart type:             manual\r"), std::string::npos) << text;
    EXPECT_NE(text.find("\nAccount:                LocalSystem (default)\r"), std::string::npos) << text;
    EXPECT_NE(text.find("\nEnvironment:            OPTS= -a \"b c\"\r"), std::string::npos) << text;

    Expect(On("install", Relay), 0);
    EXPECT_EQ(ServiceStartType(Relay), static_cast<DWORD>(SERVICE_DEMAND_START));
    TProgramResult set =
        Qv(On("set", Relay) + " --start-type disabled --stop-timeout 30 --service-text Relays --no-log-daily");
    EXPECT_EQ(set.ExitCode, 0u) << set.Err;
    EXPECT_EQ(QvJson(On("show", Relay))["settings"]["log-daily"]["value"], "off");
    EXPECT_NE(set.Out.find("takes the new settings at the program's next start"), std::string::npos) << set.Out;
    EXPECT_EQ(ServiceStartType(Relay), static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_EQ(ServiceDescription(Relay), "Relays");
    Expect(On("set", Relay) + " --start-type disabled", 0);

    const std::string before = ReadTextFile(catalogue.Path());
    Expect(On("set", Relay) + " --stop-timeout -3", 4, "Stop timeout: \"-3\" is not a whole number of seconds");
    Expect(On("set", Relay) + " --depends-on \"mail relay\"", 4, "cannot depend on itself");
    Expect(On("set", Relay) + " --depends-on \"QV no such service\"", 4, "there is no service \"QV no such service\"");
    Expect(On("set", Relay) + " --working-dir C:\\nowhere", 4, "Working folder: \"C:\\nowhere\" is not");
    Expect(On("set", Relay) + " --env =x", 4, "Environment: a variable needs a name");
    Expect(On("set", Relay) + " --account \"NT SERVICE\\Other\"", 4, "virtual account");
    EXPECT_EQ(ReadTextFile(catalogue.Path()), before);
    // An account other than LocalSystem is never given a drive's root to log in.
    const std::string rooted = "add \"QV Rooted\" --program \"" + program + "\" --log-file C:\\grant.log";
    Expect(rooted + " --account LocalService", 4, "would be given the right to create files in \"C:\\\"");
    Expect(rooted, 0);
    Expect(On("set", "QV Rooted") + " --account NetworkService", 4, "log to a folder of its own");
    TTempFolder own;
    Expect("add \"QV Own Log\" --program \"" + program + "\" --account LocalService --log-file \"" +
               own.File("own.log") + "\"",
           0);
    Expect(On("edit", "QV Own Log") + " --log-file C:\\own.log", 4, "where programs live");
    Expect(On("set", Relay), 2, "\"set\" needs at least one setting");
    Expect(On("set", Relay) + " --log-keep 2 --log-keep 3", 2, "given twice");
    Expect(On("set", Relay) + " --log-daily --no-log-daily", 2, "given twice");
    Expect(On("set", Relay) + " --log-daily=on", 2, "takes no value");
}

// A named account's password comes on standard input, goes to the Service
// Control Manager and is kept nowhere.
TEST_F(CliTest, APasswordIsTakenFromStandardInputOnlyAndKeptNowhere)
{
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    Expect("add \"" + Relay + "\" --program \"" + program + "\" --account " + user, 0);
    Expect(On("install", Relay), 4, "is an account with a password, and the password is never kept");
    TProgramResult install = RunProgram(On("", WindowsPath(QV_EXE)).substr(1) + " install \"" + Relay +
                                            "\" --password-stdin",
                                        "s3cret-pw\r\n");
    EXPECT_EQ(install.ExitCode, 0u) << install.Err;
    EXPECT_EQ(ServiceAccount(Relay), std::string(".\\") + user);
    // A new password alone, for the same account, goes to the Service
    // Control Manager too (run here, to see what it is handed).
    static std::vector<std::string> handed;
    TSeamOverride<decltype(TServiceApi::ChangeServiceConfigA)> change(
        ServiceApi().ChangeServiceConfigA, [](SC_HANDLE service, DWORD type, DWORD start, DWORD control, LPCSTR binary,
                                              LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                              LPCSTR password, LPCSTR display) {
            handed.push_back(std::string(account ? account : "") + "/" + (password ? password : "(none)"));
            return ::ChangeServiceConfigA(service, type, start, control, binary, group, tag, dependencies, account,
                                          password, display);
        });
    // Every buffer the password passed through is wiped as it is given back.
    static std::vector<std::string> wiped;
    TSeamOverride<decltype(TMemoryApi::SecureZeroMemory)> wipe(MemoryApi().SecureZeroMemory,
                                                               [](void* memory, size_t size) {
                                                                   const char* text = static_cast<char*>(memory);
                                                                   wiped.emplace_back(text, strnlen(text, size));
                                                                   ::SecureZeroMemory(memory, size);
                                                               });
    const long buffers = TSecret::Buffers(), taken = TSecret::BuffersTaken();
    {
        TKernelHandle read, write;
        ASSERT_TRUE(CreatePipe(read.Receive(), write.Receive(), nullptr, 0));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(write.Get(), "new-pw\r\n", 8, &written, nullptr));
        write.Close();
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        SetStdHandle(STD_INPUT_HANDLE, read.Get());
        const TScopeExit restore([&] { SetStdHandle(STD_INPUT_HANDLE, input); });
        EXPECT_EQ(RunRequest(ParseArguments({"set", Relay, "--password-stdin"})), ExitSuccess);
    }
    EXPECT_EQ(handed, (std::vector<std::string>{std::string(".\\") + user + "/new-pw"}));
    EXPECT_EQ(TSecret::Buffers(), buffers);
    const std::string sent = "new-pw\r\n";
    const auto held = std::count_if(wiped.begin(), wiped.end(),
                                    [&](const std::string& text) { return !text.empty() && sent.starts_with(text); });
    EXPECT_EQ(held, TSecret::BuffersTaken() - taken);
    EXPECT_NE(std::find(wiped.begin(), wiped.end(), "new-pw"), wiped.end());
    TProgramResult set = RunProgram(On("", WindowsPath(QV_EXE)).substr(1) + " set \"" + Relay +
                                        "\" --account LocalService --password-stdin",
                                    "other-pw");
    EXPECT_EQ(set.ExitCode, 0u) << set.Err;
    EXPECT_EQ(ServiceAccount(Relay), "NT AUTHORITY\\LocalService");
    for (const std::string& seen : {ReadTextFile(catalogue.Path()), install.Out + install.Err, set.Out + set.Err})
        EXPECT_EQ(seen.find("-pw"), std::string::npos) << seen;
}

// A console shows every character whatever its code page; a file or a pipe
// gets UTF-8, JSON too.
TEST(Console, AConsoleGetsCharactersAndARedirectionBytes)
{
    static std::wstring shown;
    TSeamOverride<decltype(TConsoleApi::GetConsoleMode)> console(ConsoleApi().GetConsoleMode,
                                                                 [](HANDLE, LPDWORD) { return TRUE; });
    TSeamOverride<decltype(TConsoleApi::WriteConsoleW)> write(
        ConsoleApi().WriteConsoleW, [](HANDLE, const VOID* text, DWORD length, LPDWORD, LPVOID) {
            return shown.append(static_cast<const wchar_t*>(text), length), TRUE;
        });
    WriteText(stdout, "Caf\u00E9 Relay\n");
    WriteUtf8(stderr, "{\"d\": \"Caf\xC3\xA9\"}");
    EXPECT_EQ(shown, L"Caf\u00E9 Relay\n{\"d\": \"Caf\u00E9\"}");
}

TEST(Console, APasswordTypedAtAConsoleArrivesAsTypedWhateverTheConsolesCodePage)
{
    // A console of our own whose input speaks code page 437, as many do.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    const HANDLE before = GetStdHandle(STD_INPUT_HANDLE);
    const TKernelHandle input(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    SetStdHandle(STD_INPUT_HANDLE, input.Get());
    const TScopeExit done([&] {
        SetStdHandle(STD_INPUT_HANDLE, before);
        FreeConsole();
    });
    SetConsoleCP(437);
    std::vector<INPUT_RECORD> keys;
    for (wchar_t c : std::wstring(L"p\u00E4ss \u0436\u20AC\r")) {
        INPUT_RECORD key = {};
        key.EventType = KEY_EVENT;
        key.Event.KeyEvent.bKeyDown = TRUE;
        key.Event.KeyEvent.wRepeatCount = 1;
        key.Event.KeyEvent.wVirtualKeyCode = c == L'\r' ? VK_RETURN : 0;
        key.Event.KeyEvent.uChar.UnicodeChar = c;
        keys.push_back(key);
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputW(input.Get(), keys.data(), static_cast<DWORD>(keys.size()), &written))
        << GetLastError() << " " << (input.Get() == INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadPassword(), "p\xC3\xA4ss \xD0\xB6\xE2\x82\xAC");
}

TEST_F(CliTest, AStartWaitsForItsProgramAndStatusAndListTellWhatItDoes)
{
    TTempFolder folder;
    const std::string log = folder.File("relay.log");
    Expect("add \"" + Relay + "\" --program \"" + program + "\" --parameters \"out:hello out:1 out:2 out:3 out:4 out:5 out:6 out:7 out:8 out:9 sleep:500 exit:3\" --log-file \"" +
               log + "\"",
           0);
    Expect(On("install", Relay), 0);
    TProgramResult start = Qv(On("start", Relay));
    EXPECT_EQ(start.ExitCode, 10u) << start.Out << start.Err;
    EXPECT_NE(start.Err.find("started, but its program keeps exiting (exit code 3)"), std::string::npos) << start.Err;
    // The log's last ten lines.
    EXPECT_NE(start.Err.find(" out: 9"), std::string::npos) << start.Err;
    size_t stamped = 0;
    for (size_t at = start.Err.find("\n  20"); at != std::string::npos; at = start.Err.find("\n  20", at + 1))
        ++stamped;
    EXPECT_EQ(stamped, 10u) << start.Err;

    // It runs a moment now and then: asked again until it is seen waiting.
    EXPECT_TRUE(WaitFor([&] {
        return Qv(On("status", Relay)).Out.find("Program:      restarting (exit code 3, next try in ") !=
               std::string::npos;
    }, 10000));
    EXPECT_TRUE(WaitFor([&] { return Qv("list").Out.find("yes        restarting (exit code 3, next try in ") !=
                                     std::string::npos; }, 10000));
    json listed;
    EXPECT_TRUE(WaitFor([&] { return (listed = QvJson("list")["entries"][0])["program"]["state"] == "backing off"; },
                        10000));
    EXPECT_EQ(listed["serviceHost"], StubCopyFile(Relay));
    EXPECT_EQ(listed["program"]["lastExitCode"], 3);
    EXPECT_EQ(listed["program"]["logFile"], log);
    Expect(On("check", Relay), 7);

    Expect(On("stop", Relay), 0);
    json stopped = QvJson(On("status", Relay));
    EXPECT_EQ(stopped["state"], "stopped");
    EXPECT_TRUE(stopped["program"].is_null());
    EXPECT_NE(Qv(On("status", Relay)).Out.find("Program:      not running"), std::string::npos);
    Expect(On("start --settle -1", Relay), 2, "--settle takes a number of seconds");
}

TEST_F(CliTest, CheckAllAsksEveryPipeAtOnceBesideTheWindowAndTheMailslotOnlyForAnOlderHost)
{
    const std::string quitter = "QV Quitter", older = "QV Older " + std::to_string(GetCurrentProcessId());
    const TScopeExit removed([&] {
        for (const std::string& name : {quitter, older})
            RemoveTestServiceAndCopy(name);
    });
    // The quitter's program is gone by the time it starts: it never runs.
    TTempFolder folder;
    const std::string gone = folder.File("gone.exe");
    CopyFileA(program.c_str(), gone.c_str(), FALSE);
    for (const auto& [name, path] : {std::pair(Relay, program), {quitter, gone}, {older, program}}) {
        Expect("add \"" + name + "\" --program \"" + path + "\" --parameters wait", 0);
        Expect(On("install", name), 0);
    }
    DeleteFileA(gone.c_str());
    Expect(On("start", quitter), 10, "started, but its program cannot be started: ");
    for (const std::string& name : {Relay, older})
        Expect(On("start --settle 0", name), 0);
    auto active = [&](int expectedExit) {
        TProgramResult run = Qv("check --all --json");
        EXPECT_EQ(run.ExitCode, static_cast<DWORD>(expectedExit)) << run.Out << run.Err;
        std::vector<bool> found;
        const json checked = json::parse(run.Out);
        for (const json& service : checked["services"])
            found.push_back(service["active"] == true);
        return found;
    };
    const int olderID = QvJson(On("show", older))["serviceId"];
    std::unique_ptr<TStandInHost> stand;
    {
        // The window is open beside: it holds its mutex and the manager's
        // mailslot, and no pipe needs either.
        TKernelHandle windowMutex(CreateMutexA(nullptr, FALSE, ManagerWindowMutex));
        TMailSlot window;
        window.SetMsgSize(MessageSize);
        window.SetAlias(ManagerSlotAlias);
        window.SetActive(true);
        EXPECT_EQ(active(7), (std::vector<bool>{true, false, true}));

        // A host copy from before the pipe: Wine's Service Control Manager
        // still says running once the process is gone, and a stand-in holds
        // its mailslot. Only the mailslot can ask it, and the window has it.
        TKernelHandle host(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ServiceProcessId(older)));
        ASSERT_TRUE(TerminateProcess(host.Get(), 1));
        WaitForSingleObject(host.Get(), 5000);
        ASSERT_EQ(ServiceState(older), static_cast<DWORD>(SERVICE_RUNNING));
        stand = std::make_unique<TStandInHost>(olderID, Saying("I am on:" + std::to_string(olderID)));
        Expect("check --all", 8, "The Quorvane window is open");
    }
    EXPECT_EQ(active(7), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(stand->Questions().size(), 1u);
    {
        // Without the window's mutex, the holder is another check.
        TMailSlot other;
        other.SetMsgSize(MessageSize);
        other.SetAlias(ManagerSlotAlias);
        other.SetActive(true);
        Expect("check --all", 8, "Another qv check is asking the services right now");
    }
    stand.reset();
    // An answer to another question is none: one time-out, and not active.
    TStandInHost silent(olderID, [&](const std::string& sequence) {
        return std::vector<std::string>{sequence + "|I am on:" + std::to_string(olderID + 1),
                                        "9" + sequence + "|I am on:" + std::to_string(olderID)};
    });
    EXPECT_EQ(active(7), (std::vector<bool>{true, false, false}));
}

// Accented Latin, Cyrillic, and CJK with an emoji, from the arguments through
// the catalogue and the service to the program, and back in qv's output.
TEST_F(CliTest, EveryScriptTravelsFromTheArgumentsToTheProgramAndBack)
{
    const std::string name = "Überwachung Журнал 監視😀";
    const TScopeExit removed([&] { RemoveTestServiceAndCopy(name); });
    TTempFolder temporary;
    const std::string folder = temporary.File("Dossier été Папка 文件夹😀");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string copy = folder + "\\prögram Ж 中😀.exe", log = folder + "\\journal Лог 日志😀.log";
    ASSERT_TRUE(CopyFileA(program.c_str(), copy.c_str(), FALSE));
    Expect("add " + Argument(name) + " --program " + Argument(copy) + " --parameters " +
               Argument("where \"déjà vu\" Жук 漢字😀 env:NOTE wait") + " --log-file " + Argument(log) +
               " --env " + Argument("NOTE=Ünïcode Жук 漢字😀"),
           0);
    Expect("add \"überwachung журнал 監視😀\" --program \"" + program + "\"", 4, "already exists");
    EXPECT_NE(Qv(On("show", name)).Out.find("Description:  " + name + "\r"), std::string::npos);
    EXPECT_EQ(QvJson(On("show", name))["logFile"], log);
    Expect(On("install", name), 0);
    Expect(On("start --settle 0", name), 0);
    const std::string expected = "path " + copy + "\r\nfolder " + folder + "\r\narg where\r\narg déjà vu\r\n"
                                 "arg Жук\r\narg 漢字😀\r\narg env:NOTE\r\narg wait\r\nenv NOTE=Ünïcode Жук 漢字😀\r\n";
    std::string written;
    EXPECT_TRUE(WaitFor([&] { return (written = ReadTextFile(log)).find("env NOTE") != std::string::npos; }, 10000));
    EXPECT_EQ(LoggedOutput(written), expected) << written;
    EXPECT_NE(Qv("list").Out.find(name), std::string::npos);
}
