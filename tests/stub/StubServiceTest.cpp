#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "tests/support/TestServices.h"
#include "messaging/StatusClient.h"
#include "platform/Kernel.h"
#include "platform/Services.h"
#include "stub/Registration.h"
#include "stub/StubSettings.h"
#include "tests/stub/StubTestSupport.h"
#include "tests/support/TempFiles.h"

namespace {

const std::string StubBinary = WindowsPath(STUB_BINARY);
const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);

// The real catalogue, which the service host reads, is put back as it was
// once the suite is over.
class TCatalogueKeeper : public testing::Environment {
public:
    void SetUp() override { saved_ = std::make_unique<TSavedCatalogue>(); }
    void TearDown() override { saved_.reset(); }

private:
    std::unique_ptr<TSavedCatalogue> saved_;
};
[[maybe_unused]] const auto* keeper = testing::AddGlobalTestEnvironment(new TCatalogueKeeper);

SERVICE_STATUS StatusOf(const std::string& name)
{
    SERVICE_STATUS status = {};
    TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    TServiceHandle service(OpenServiceA(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (service.Get())
        QueryServiceStatus(service.Get(), &status);
    return status;
}

bool WaitForState(const std::string& name, DWORD state, DWORD timeoutMs)
{
    return WaitFor([&] { return StatusOf(name).dwCurrentState == state; }, timeoutMs);
}

DWORD Control(const std::string& name, bool start)
{
    TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    TServiceHandle service(OpenServiceA(manager.Get(), name.c_str(), SERVICE_START | SERVICE_STOP));
    if (!service.Get())
        return GetLastError();
    SERVICE_STATUS status = {};
    BOOL done = start ? StartServiceA(service.Get(), 0, nullptr) : ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    return done ? 0 : GetLastError();
}

BOOL CALLBACK CollectStatic(HWND window, LPARAM parameter)
{
    char kind[32] = {}, text[1024] = {};
    GetClassNameA(window, kind, sizeof kind);
    if (lstrcmpiA(kind, "Static") == 0) {
        GetWindowTextA(window, text, sizeof text);
        *reinterpret_cast<std::string*>(parameter) += text;
    }
    return TRUE;
}

struct TBoxSearch {
    DWORD Pid;
    HWND Box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<TBoxSearch*>(parameter);
    DWORD pid = 0;
    char kind[32] = {};
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, kind, sizeof kind);
    if (pid == search->Pid && std::strcmp(kind, "#32770") == 0) {
        search->Box = window;
        return FALSE;
    }
    return TRUE;
}

// One copy of the service host with its own catalogue entry, removed with
// everything it registered when the test ends.
class TServiceCopy {
public:
    // An older entry is stored as the manager stored it before descriptions
    // were checked: "!" allowed, and an empty ServiceID.
    TServiceCopy(const std::string& name, const std::string& parameters, bool older = false)
        : Description("QV Stub " + name + " " + std::to_string(GetCurrentProcessId())),
          LogFile(folder_.File("service.log"))
    {
        std::string withBlank = folder_.File("with blank");
        CreateDirectoryA(withBlank.c_str(), nullptr);
        std::string file = Description;
        for (char& c : file)
            if (c == ' ')
                c = '!';
        Path = withBlank + "\\" + file + ".exe";
        CopyFileA(StubBinary.c_str(), Path.c_str(), FALSE);
        TCatalogue catalogue;
        TIniFile ini(CatalogueFileName);
        if (older) {
            int index = catalogue.Count() + 1;
            ini.WriteInteger(StatusSection, "NumServices", index);
            ini.WriteString(StatusSection, ServiceKey(index), Description);
            ini.WriteString(Description, ProgramKey, TestProgram);
            ini.WriteString(Description, ParametersKey, parameters);
            ini.WriteString(Description, LogFileKey, LogFile);
            ini.WriteString(Description, LogToFileKey, "1");
            ini.WriteString(Description, ServiceIDKey, "");
            ServiceID = 1;
        } else {
            catalogue.AppendEntry(Description, TestProgram, parameters, LogFile, true);
            ServiceID = catalogue.Entry().ServiceID;
        }
        ini.WriteString(Description, VantorerKey, Path);
    }

    ~TServiceCopy()
    {
        {
            TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
            TServiceHandle service(OpenServiceA(manager.Get(), Description.c_str(), SERVICE_ALL_ACCESS));
            if (service.Get()) {
                SERVICE_STATUS status = {};
                ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
                WaitForState(Description, SERVICE_STOPPED, 15000);
                DeleteService(service.Get());
            }
        }
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(Description).c_str());
        TCatalogue catalogue;
        int index = catalogue.FindByDescription(Description);
        if (index > 0)
            catalogue.DeleteEntry(index);
    }

    // Runs the copy with the switch; its exit code, or -1 when it had to be
    // ended (a message box nobody answered). boxText gets any box's text. A
    // copy that cannot be started fails the test with the reason.
    int Run(const std::string& option, std::string* boxText = nullptr)
    {
        std::string line = "\"" + Path + "\" " + option;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!StartProcess(line.data(), FALSE, 0, nullptr, &startup, &process)) {
            ADD_FAILURE() << "cannot run " << line << ": error " << GetLastError();
            return -2;
        }
        CloseHandle(process.hThread);
        DWORD code = static_cast<DWORD>(-1);
        if (boxText) {
            // The box is read once its text is in place: it can be found
            // while it is still being laid out.
            TBoxSearch search = {process.dwProcessId, nullptr};
            WaitFor([&] {
                EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
                if (!search.Box)
                    return false;
                boxText->clear();
                EnumChildWindows(search.Box, CollectStatic, reinterpret_cast<LPARAM>(boxText));
                return !boxText->empty();
            }, 10000);
            if (search.Box)
                PostMessageA(search.Box, WM_COMMAND, IDOK, 0);
        }
        if (WaitForSingleObject(process.hProcess, 25000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        else
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hProcess);
        return static_cast<int>(code);
    }

    std::string Log() const { return ReadTextFile(LogFile); }
    bool LogHas(const std::string& part) const { return Log().find(part) != std::string::npos; }

private:
    TTempFolder folder_;

public:
    std::string Description;
    std::string LogFile;
    std::string Path;
    int ServiceID = 0;
};

std::string BinaryPathOf(const std::string& name)
{
    TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    TServiceHandle service(OpenServiceA(manager.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
    std::vector<char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!service.Get() || !QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return "(none: error " + std::to_string(GetLastError()) + ")";
    return config->lpBinaryPathName;
}

// The message file of an event-log source, or "(none)".
std::string MessageFileOf(const std::string& source)
{
    char value[MAX_PATH * 2] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), "EventMessageFile", RRF_RT_REG_SZ |
                     RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) != ERROR_SUCCESS)
        return "(none)";
    return value;
}

void SetMessageFile(const std::string& source, const std::string& file)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(source).c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>(file.size() + 1));
    RegCloseKey(key);
}

std::unique_ptr<TMailSlot> ManagerSlot()
{
    auto slot = std::make_unique<TMailSlot>();
    slot->SetMsgSize(MessageSize);
    slot->SetAlias(ManagerSlotAlias);
    slot->SetActive(true);
    return slot;
}

void Ask(int serviceID, const std::string& text)
{
    TMailSlot client;
    client.SetMailslot(msClient);
    client.SetAlias(ServiceSlotAlias(serviceID));
    client.SetActive(true);
    std::string slot = text;
    slot.resize(MessageSize, '\0');
    client.WriteMsg(slot.data(), MessageSize);
}

} // namespace

TEST(StubService, InstallRunAnswerStopAndUninstall)
{
    TServiceCopy copy("Main", "out:hello-out err:hello-err pid child wait");
    ASSERT_EQ(0, copy.Run("-i"));
    {
        TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        TServiceHandle service(OpenServiceA(manager.Get(), copy.Description.c_str(), SERVICE_QUERY_CONFIG));
        ASSERT_TRUE(service.Get()) << GetLastError();
        std::vector<char> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ("\"" + copy.Path + "\"", std::string(config->lpBinaryPathName));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
        EXPECT_TRUE(config->dwServiceType & SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(copy.Description, std::string(config->lpDisplayName));
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(buffer.data()),
                                         static_cast<DWORD>(buffer.size()), &needed));
        ASSERT_TRUE(description->lpDescription);
        EXPECT_NE(std::string::npos, std::string(description->lpDescription).find(TestProgram));
    }
    HKEY source = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(copy.Description).c_str(), 0,
                                           KEY_READ, &source));
    RegCloseKey(source);
    // Registering again brings the registration up to date.
    ASSERT_EQ(0, copy.Run("-i"));

    std::unique_ptr<TMailSlot> manager = ManagerSlot();
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("child pid ") && copy.LogHas("out: pid "); }, 10000)) << copy.Log();
    std::string log = copy.Log();
    EXPECT_NE(std::string::npos, log.find("out: hello-out"));
    EXPECT_NE(std::string::npos, log.find("err: hello-err"));
    EXPECT_NE(std::string::npos, log.find("started \"" + TestProgram + "\" out:hello-out"));
    DWORD program = static_cast<DWORD>(NumberAfter(log, "out: pid "));
    DWORD child = static_cast<DWORD>(NumberAfter(log, "child pid "));
    EXPECT_TRUE(ProcessRunning(program));
    EXPECT_TRUE(ProcessRunning(child));

    Ask(copy.ServiceID, "not a question");
    Ask(copy.ServiceID, "41|Are you on?");
    ASSERT_TRUE(WaitFor([&] { return manager->MsgCount() > 0; }, 5000));
    char reply[MessageSize + 1] = {};
    manager->ReadMsg(reply, MessageSize);
    EXPECT_EQ("41|I am on:" + std::to_string(copy.ServiceID), std::string(reply));
    CloseAndFree(manager);

    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(program) && !ProcessRunning(child); }, 3000));
    log = copy.Log();
    // Asked from the service, which has no console: it heard Ctrl+C.
    EXPECT_NE(std::string::npos, log.find(") to end with Ctrl+C")) << log;
    EXPECT_NE(std::string::npos, log.find("out: got ctrl-c")) << log;
    EXPECT_EQ(std::string::npos, log.find("did not end within")) << log;
    EXPECT_EQ(1u, LinesWith(log, " with pid ").size());
    EXPECT_FALSE(LinesWith(log, " stopped\r").empty());

    ASSERT_EQ(0, copy.Run("-u"));
    {
        TServiceHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        TServiceHandle gone(OpenServiceA(scm.Get(), copy.Description.c_str(), SERVICE_QUERY_STATUS));
        EXPECT_FALSE(gone.Get());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    }
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, EventSourceKey(copy.Description).c_str(), 0,
                                           KEY_READ, &source));
    // Nothing left to remove is no failure.
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, TheProgramRunsInItsFolderWithItsEnvironmentAndPriorityAsTheServiceWasRegistered)
{
    TServiceCopy copy("Settings", "nobreak cwd env:QV_OPTS env:SystemRoot priority pid wait");
    TTempFolder work;
    TServiceSettings settings;
    EXPECT_FALSE(SetSetting(settings, TSetting::WorkingFolder, work.Path()));
    EXPECT_FALSE(SetSetting(settings, TSetting::Priority, "below-normal"));
    EXPECT_FALSE(SetSetting(settings, TSetting::StartType, "manual"));
    EXPECT_FALSE(SetSetting(settings, TSetting::ServiceText, "Relays the test's mail"));
    EXPECT_FALSE(SetSetting(settings, TSetting::StopTimeout, "1"));
    EXPECT_FALSE(SetSetting(settings, TSetting::LogTimestamps, "off"));
    EXPECT_FALSE(SetVariable(settings, "QV_OPTS", " -a \"b c\" =x "));
    ASSERT_EQ(TEntryOutcome::Done, TCatalogue().ChangeServiceSettings({copy.Description}, {}, settings));
    ASSERT_EQ(0, copy.Run("-i"));
    {
        TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        TServiceHandle service(OpenServiceA(manager.Get(), copy.Description.c_str(), SERVICE_QUERY_CONFIG));
        std::vector<char> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        ASSERT_TRUE(QueryServiceConfigA(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
        ASSERT_TRUE(QueryServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(buffer.data()),
                                         static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_STREQ("Relays the test's mail", reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription);
    }
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("out: pid "); }, 10000)) << copy.Log();
    // A change while it runs is taken at the program's next start.
    TServiceSettings changed = settings;
    EXPECT_FALSE(SetVariable(changed, "QV_OPTS", "second"));
    ASSERT_EQ(TEntryOutcome::Done, TCatalogue().ChangeServiceSettings({copy.Description}, settings, changed));
    {
        TKernelHandle program(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(NumberAfter(copy.Log(), "out: pid "))));
        ASSERT_TRUE(TerminateProcess(program.Get(), 1));
    }
    ASSERT_TRUE(WaitFor([&] { return LinesWith(copy.Log(), "out: pid ").size() == 2; }, 10000)) << copy.Log();
    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    const std::string log = copy.Log();
    // Unstamped, the program's lines begin with their stream.
    EXPECT_NE(std::string::npos, log.find("\nout: cwd " + work.Path() + "\r")) << log;
    EXPECT_NE(std::string::npos, log.find("\nout: env QV_OPTS= -a \"b c\" =x \r")) << log;
    EXPECT_NE(std::string::npos, log.find("\nout: env QV_OPTS=second\r")) << log;
    // Added to the host's environment, not instead of it.
    EXPECT_EQ(2u, LinesWith(log, "out: env SystemRoot=").size()) << log;
    EXPECT_EQ(2u, LinesWith(log, "out: priority 4000\r").size()) << log;
    // It ignores Ctrl+C: ended after its stop timeout.
    EXPECT_NE(std::string::npos, log.find("program did not end within 1000 ms; ending it")) << log;
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, ARawLogHoldsWhatTheProgramWroteAndNothingOfTheHosts)
{
    // "line one\r\nno end"
    TServiceCopy copy("Raw Log", "bytes:6c696e65206f6e650d0a6e6f20656e64 wait");
    const std::string old(3000, 'o');
    WriteTextFile(copy.LogFile, old);
    TServiceSettings raw;
    EXPECT_FALSE(SetSetting(raw, TSetting::LogMode, "raw"));
    EXPECT_FALSE(SetSetting(raw, TSetting::LogMaxSize, "2K"));
    ASSERT_EQ(TEntryOutcome::Done, TCatalogue().ChangeServiceSettings({copy.Description}, {}, raw));
    ASSERT_EQ(0, copy.Run("-i"));
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("no end"); }, 10000)) << copy.Log();
    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    // The program's own words at the stop follow, as it wrote them.
    EXPECT_EQ("line one\r\nno endgot ctrl-c\r\n", copy.Log());
    EXPECT_EQ(old, ReadTextFile(copy.LogFile + ".1"));
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, ALogFolderRemovedUnderTheRunningHostIsMadeAgainSayingWhatWasDropped)
{
    TServiceCopy copy("Log Folder", "every:100");
    const std::string logs = FolderOf(copy.LogFile) + "\\logs";
    ASSERT_TRUE(CreateDirectoryA(logs.c_str(), nullptr));
    copy.LogFile = logs + "\\service.log";
    TIniFile(CatalogueFileName).WriteString(copy.Description, LogFileKey, copy.LogFile);
    ASSERT_EQ(0, copy.Run("-i"));
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("out: tick 3\r"); }, 10000)) << copy.Log();
    // Moved away as into the recycle bin, then made again.
    ASSERT_TRUE(MoveFileExA(logs.c_str(), (logs + ".bin").c_str(), 0));
    Sleep(2 * TFileLog::PathCheckMs);
    // Its status says so meanwhile, with what it could not write.
    const TStatusReply missing = AskStatus({copy.ServiceID, ServiceProcessId(copy.Description)});
    EXPECT_TRUE(missing.Status.LogFolderMissing) << missing.Answer;
    EXPECT_GT(missing.Status.LogDroppedBytes, 0u) << missing.Answer;
    ASSERT_TRUE(CreateDirectoryA(logs.c_str(), nullptr));
    EXPECT_TRUE(WaitFor([&] {
        return !AskStatus({copy.ServiceID, ServiceProcessId(copy.Description)}).Status.LogFolderMissing;
    }, 5000));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("out: tick "); }, 5000)) << copy.Log();
    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    const std::string made = copy.Log();
    const std::vector<std::string> binned = LinesWith(ReadTextFile(logs + ".bin\\service.log"), " out: tick ");
    ASSERT_FALSE(binned.empty());
    // The first line of the new file counts every tick in neither file:
    // "<stamp> out: tick <n>\r\n" each.
    const std::vector<std::string> lines = LinesWith(made, "");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines[0].find(" bytes dropped: the log could not be written (error 3)\r")) << made;
    size_t dropped = 0;
    for (long long tick = NumberAfter(binned.back(), " out: tick ") + 1; tick < NumberAfter(made, " out: tick ");
         ++tick)
        dropped += 24 + std::string("out: tick ").size() + std::to_string(tick).size() + 2;
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(static_cast<long long>(dropped), NumberAfter(lines[0], " warning: ")) << made;
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, CrashedProgramIsStartedAgain)
{
    TServiceCopy copy("Crash", "out:run sleep:200 crash");
    ASSERT_EQ(0, copy.Run("-i"));
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return LinesWith(copy.Log(), "restarting in").size() >= 2; }, 10000))
        << copy.Log() << " state " << StatusOf(copy.Description).dwCurrentState << " code "
        << StatusOf(copy.Description).dwServiceSpecificExitCode;
    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    std::string log = copy.Log();
    std::vector<std::string> waits = LinesWith(log, "restarting in");
    EXPECT_NE(std::string::npos, waits[0].find("restarting in 0 ms"));
    EXPECT_NE(std::string::npos, waits[1].find("restarting in 1000 ms"));
    EXPECT_GE(LinesWith(log, "out: run").size(), 2u);
    EXPECT_GE(LinesWith(log, "program exited with code 3221225477").size(), 2u);
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, RefusesAnEntryThatIsNotItsOwn)
{
    TServiceCopy copy("Foreign", "out:should-not-run wait");
    ASSERT_EQ(0, copy.Run("-i"));
    TIniFile catalogue(CatalogueFileName);
    catalogue.WriteString(copy.Description, VantorerKey, copy.Path + ".other.exe");
    // Registering is for a copy its entry names; nothing is touched.
    std::string box;
    EXPECT_EQ(1, copy.Run("-i", &box));
    EXPECT_NE(std::string::npos, box.find("No entry of the catalogue QXServices.ini names this copy")) << box;
    Control(copy.Description, true);
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 10000));
    SERVICE_STATUS status = StatusOf(copy.Description);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(NotOwnEntryExitCode, status.dwServiceSpecificExitCode);

    catalogue.EraseSection(copy.Description);
    EXPECT_EQ(1, copy.Run("-i", &box));
    Control(copy.Description, true);
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 10000));
    status = StatusOf(copy.Description);
    EXPECT_EQ(NoSectionExitCode, status.dwServiceSpecificExitCode);
    EXPECT_FALSE(copy.LogHas("should-not-run"));
    EXPECT_EQ(0, copy.Run("-u"));
}

TEST(StubService, AnythingButASwitchShowsHowToUseIt)
{
    TServiceCopy copy("Usage", "");
    std::string box;
    EXPECT_EQ(2, copy.Run("-x", &box));
    EXPECT_NE(std::string::npos, box.find("-i")) << box;
    EXPECT_NE(std::string::npos, box.find(copy.Description)) << box;
    // Run outside the Service Control Manager without a switch: the same.
    box.clear();
    EXPECT_EQ(2, copy.Run("", &box));
    EXPECT_NE(std::string::npos, box.find("-u")) << box;
}

TEST(StubService, AnotherProgramsServiceAndEventSourceAreLeftAsTheyAre)
{
    TServiceCopy copy("Others", "wait");
    const std::string foreign = "\"" + TestProgram + "\" wait";
    {
        TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        TServiceHandle service(CreateServiceA(manager.Get(), copy.Description.c_str(), copy.Description.c_str(),
                                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, foreign.c_str(), nullptr, nullptr, nullptr,
                                              nullptr, nullptr));
        ASSERT_TRUE(service.Get()) << GetLastError();
    }
    for (const char* option : {"-i", "-u"}) {
        std::string box;
        EXPECT_EQ(3, copy.Run(option, &box)) << option;
        EXPECT_NE(std::string::npos, box.find("\"" + copy.Description + "\" belongs to another program")) << box;
        EXPECT_EQ(foreign, BinaryPathOf(copy.Description)) << option;
        EXPECT_EQ("(none)", MessageFileOf(copy.Description)) << option;
    }
    {
        TServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        TServiceHandle service(OpenServiceA(manager.Get(), copy.Description.c_str(), DELETE));
        ASSERT_TRUE(DeleteService(service.Get()));
    }

    const std::string otherFile = "C:\\windows\\system32\\other-messages.dll";
    SetMessageFile(copy.Description, otherFile);
    std::string box;
    EXPECT_EQ(3, copy.Run("-i", &box));
    EXPECT_NE(std::string::npos, box.find("event-log source \"" + copy.Description + "\" belongs to another program"))
        << box;
    EXPECT_EQ(otherFile, MessageFileOf(copy.Description));
    EXPECT_EQ(0u, StatusOf(copy.Description).dwCurrentState) << "no service was registered";

    // Its own service goes at uninstall; another program's source stays.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, EventSourceKey(copy.Description).c_str());
    ASSERT_EQ(0, copy.Run("-i"));
    EXPECT_EQ(copy.Path, MessageFileOf(copy.Description));
    SetMessageFile(copy.Description, otherFile);
    EXPECT_EQ(0, copy.Run("-u"));
    EXPECT_EQ(0u, StatusOf(copy.Description).dwCurrentState);
    EXPECT_EQ(otherFile, MessageFileOf(copy.Description));
}

TEST(StubService, SilentWhileItsProgramDoesNotRunAndFromTheStopControlOn)
{
    TServiceCopy quitter("Quitter", "exit:3");
    TServiceCopy runner("Runner", "pid wait");
    std::unique_ptr<TMailSlot> manager = ManagerSlot();
    for (TServiceCopy* copy : {&quitter, &runner}) {
        ASSERT_EQ(0, copy->Run("-i"));
        ASSERT_EQ(0u, Control(copy->Description, true));
    }
    // Waiting two seconds before it starts the program again.
    ASSERT_TRUE(WaitFor([&] { return quitter.LogHas("restarting in 2000 ms"); }, 10000)) << quitter.Log();
    Ask(quitter.ServiceID, "51|Are you on?");
    ASSERT_TRUE(WaitFor([&] { return quitter.LogHas("question 51 not answered"); }, 5000)) << quitter.Log();
    EXPECT_EQ(0, manager->MsgCount());
    // Its status pipe tells why and until when.
    TStatusReply backingOff = AskStatus({quitter.ServiceID, ServiceProcessId(quitter.Description)});
    ASSERT_EQ(TStatusOutcome::Answered, backingOff.Outcome) << backingOff.Failure;
    EXPECT_EQ(TProgramState::BackingOff, backingOff.Status.State);
    EXPECT_EQ(3u, backingOff.Status.LastExitCode.value_or(0));
    EXPECT_LE(backingOff.Status.NextStartInMs, 2000u);
    EXPECT_EQ(quitter.Description, backingOff.Status.Description);
    EXPECT_EQ(quitter.ServiceID, backingOff.Status.ServiceID);
    EXPECT_EQ(quitter.Path, backingOff.Status.ServiceHost);
    EXPECT_EQ(quitter.LogFile, backingOff.Status.LogFile);
    EXPECT_TRUE(backingOff.Status.LogFileOpen);

    ASSERT_TRUE(WaitFor([&] { return runner.LogHas("out: pid "); }, 10000)) << runner.Log();
    Ask(runner.ServiceID, "61|Are you on?");
    ASSERT_TRUE(WaitFor([&] { return manager->MsgCount() > 0; }, 5000)) << runner.Log();
    TStatusReply running = AskStatus({runner.ServiceID, ServiceProcessId(runner.Description)});
    EXPECT_EQ(TProgramState::Running, running.Status.State) << running.Failure;
    EXPECT_EQ(NumberAfter(runner.Log(), "out: pid "), running.Status.Pid);
    // The stop control returns once the host has let go of its mailslot,
    // before the program has been asked to end; its status pipe no longer
    // says it runs, and goes before the service is stopped.
    ASSERT_EQ(0u, Control(runner.Description, false));
    EXPECT_THROW(Ask(runner.ServiceID, "62|Are you on?"), TError) << "the mailslot is still there";
    TStatusReply stopping = AskStatus({runner.ServiceID, ServiceProcessId(runner.Description)});
    EXPECT_TRUE(stopping.Outcome == TStatusOutcome::NoHost || stopping.Status.State == TProgramState::Stopping)
        << static_cast<int>(stopping.Outcome) << " " << stopping.Failure << " "
        << ProgramStateName(stopping.Status.State);
    ASSERT_TRUE(WaitForState(runner.Description, SERVICE_STOPPED, 15000));
    EXPECT_EQ(TStatusOutcome::NoHost, AskStatus({runner.ServiceID, ServiceProcessId(runner.Description)}).Outcome);
    std::string log = runner.Log();
    size_t silent = log.find("liveness questions are no longer answered");
    ASSERT_NE(std::string::npos, silent) << log;
    EXPECT_LT(silent, log.find("stopping: asked the program")) << log;
}

TEST(StubService, AnOlderEntryWithABangRunsUnderItsOwnNameAndItsIDReadsAsTheManagerShowsIt)
{
    TServiceCopy copy("Old!Bang", "out:older wait", true);
    ASSERT_EQ(0, copy.Run("-i"));
    EXPECT_EQ("\"" + copy.Path + "\"", BinaryPathOf(copy.Description));
    std::unique_ptr<TMailSlot> manager = ManagerSlot();
    ASSERT_EQ(0u, Control(copy.Description, true));
    ASSERT_TRUE(WaitFor([&] { return copy.LogHas("out: older"); }, 10000)) << copy.Log();
    Ask(1, "71|Are you on?");
    ASSERT_TRUE(WaitFor([&] { return manager->MsgCount() > 0; }, 5000)) << copy.Log();
    char reply[MessageSize + 1] = {};
    manager->ReadMsg(reply, MessageSize);
    EXPECT_STREQ("71|I am on:1", reply);
    ASSERT_EQ(0u, Control(copy.Description, false));
    ASSERT_TRUE(WaitForState(copy.Description, SERVICE_STOPPED, 15000));
    EXPECT_EQ(0, copy.Run("-u"));
    EXPECT_EQ(0u, StatusOf(copy.Description).dwCurrentState);
}
