#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include "catalogue/Catalogue.h"
#include "deploy/Deploy.h"
#include "fixtures/SavedCatalogue.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "tests/support/Programs.h"
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

TProgramResult Qv(const std::string& arguments)
{
    return RunProgram(On("", WindowsPath(QV_EXE)).substr(1) + " " + arguments);
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
    Expect("add Helpless --program \"" + program + "\" --parameters /?", 0);
    EXPECT_EQ(QvJson("show Helpless")["parameters"], "/?");

    // Blanks, quotes inside and letters beyond ASCII travel as the window
    // keeps them; JSON carries them as UTF-8.
    const std::string odd = "Caf\xE9 d'Or";
    Expect("add \"" + odd + "\" --program \"" + program + "\" --log-file C:\\cafe.log", 0);
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
}

TEST_F(CliTest, WhileTheWindowHoldsTheReplyMailslotCheckSaysSoAndLeavesItBe)
{
    Expect("add \"" + Relay + "\" --program \"" + program + "\"", 0);
    // A window that is still starting holds its mutex before the mailslot.
    {
        TKernelHandle starting(CreateMutexA(nullptr, FALSE, ManagerWindowMutex));
        Expect(On("check", Relay), 8, "The Quorvane window is open");
    }
    TMailSlot window;
    window.SetMsgSize(MessageSize);
    window.SetAlias(ManagerSlotAlias);
    window.SetActive(true);
    Expect(On("check", Relay), 8, "The Quorvane window is open");
    Expect("check --all", 8);

    TMailSlot reply;
    reply.SetMailslot(msClient);
    reply.SetAlias(ManagerSlotAlias);
    reply.SetActive(true);
    char message[MessageSize] = "1|I am on:1";
    reply.WriteMsg(message, MessageSize);
    EXPECT_EQ(window.MsgCount(), 1);
}
