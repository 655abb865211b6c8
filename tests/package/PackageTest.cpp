#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <msi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "deploy/Deploy.h"
#include "deploy/ServiceOwner.h"
#include "fixtures/SavedCatalogue.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"
#include "tests/support/WindowDriver.h"

// The Windows Installer package under Wine's msiexec: a silent install into
// Program Files, the installed manager finding its service host, guide and
// animation beside itself, an upgrade, and an uninstall that leaves the
// catalogue and the services it installed alone.
namespace {

constexpr DWORD Patience = 30000;
const std::string ProbeService = "Quorvane Package Probe";
const char* const ShippedFiles[] = {"Quorvane.exe", "Vantorer.bin", "Quick Guide.txt", "working.avi", "qv.exe",
                                    "qv-services.schema.json", "quorvane-rules.yml", "quorvane-dashboard.json"};

// The manager's menu items are numbered from 2000 in menu order.
constexpr WPARAM InstallServiceCommand = 2004, AboutCommand = 2010, QuickGuideCommand = 2011;

std::string KnownFolder(int csidl)
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::string InstallFolder()
{
    return KnownFolder(CSIDL_PROGRAM_FILES) + "\\Quorvane";
}

std::string StubCopy()
{
    return WindowsDirectory() + "\\Vantorers\\Quorvane!Package!Probe.exe";
}

// Compared as bytes, without printing them.
bool SameContent(const std::string& path, const std::string& other)
{
    return FileExists(path) && ReadTextFile(path) == ReadTextFile(other);
}

std::string Quoted(const std::string& text)
{
    return '"' + text + '"';
}

DWORD Msiexec(const std::string& arguments)
{
    TProgramEnd end = RunToEnd("msiexec.exe " + arguments + " /qn");
    return end.Started ? end.ExitCode : end.StartError;
}

// The "Quorvane" entries of Add/Remove Programs: product code, version.
std::map<std::string, std::string> UninstallEntries()
{
    std::map<std::string, std::string> found;
    HKEY entries;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0, KEY_READ,
                      &entries) != ERROR_SUCCESS)
        return found;
    char code[256];
    for (DWORD i = 0, size = sizeof code;
         RegEnumKeyExA(entries, i, code, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, size = sizeof code) {
        char name[256] = {}, version[256] = {};
        DWORD nameSize = sizeof name, versionSize = sizeof version;
        RegGetValueA(entries, code, "DisplayName", RRF_RT_REG_SZ, nullptr, name, &nameSize);
        RegGetValueA(entries, code, "DisplayVersion", RRF_RT_REG_SZ, nullptr, version, &versionSize);
        if (std::string(name) == "Quorvane")
            found[code] = version;
    }
    RegCloseKey(entries);
    return found;
}

std::vector<std::string> ListedVersions()
{
    std::vector<std::string> versions;
    for (const auto& [code, version] : UninstallEntries())
        versions.push_back(version);
    return versions;
}

// A property of a product installed for the whole machine; "" when it is not.
std::string MachineProductInfo(const std::string& product, const char* property)
{
    char value[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    MsiGetProductInfoExA(product.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, property, value, &size);
    return value;
}

// The file a Start-menu shortcut named Quorvane opens, or "" without one.
// Windows puts a per-machine package's shortcuts in the common Start menu,
// Wine's installer in the user's.
std::string ShortcutTarget()
{
    char target[MAX_PATH] = {};
    for (int menu : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        const std::string link = KnownFolder(menu) + "\\Quorvane.lnk";
        IShellLinkA* shortcut = nullptr;
        IPersistFile* file = nullptr;
        if (FileExists(link) &&
            SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       reinterpret_cast<void**>(&shortcut))) &&
            SUCCEEDED(shortcut->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
            SUCCEEDED(file->Load(std::wstring(link.begin(), link.end()).c_str(), STGM_READ)))
            shortcut->GetPath(target, MAX_PATH, nullptr, 0);
        if (file)
            file->Release();
        if (shortcut)
            shortcut->Release();
    }
    return target;
}

// "major.minor.build" from the version resource of a program.
std::string ProgramVersion(const std::string& path)
{
    std::vector<char> data(GetFileVersionInfoSizeA(path.c_str(), nullptr));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT size = 0;
    if (data.empty() || !GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &size))
        return "";
    return std::to_string(HIWORD(info->dwProductVersionMS)) + "." +
           std::to_string(LOWORD(info->dwProductVersionMS)) + "." + std::to_string(HIWORD(info->dwProductVersionLS));
}

// True while some program holds the file open and lets nobody write it.
bool HeldAgainstWriting(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}

// A visible top-level window of the process (0: any) of that class whose
// caption holds the text.
HWND FindProcessWindow(DWORD process, const std::string& windowClass, const std::string& caption)
{
    struct TSearch {
        DWORD Process;
        const std::string &Class, &Caption;
        HWND Found;
    } search{process, windowClass, caption, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* search = reinterpret_cast<TSearch*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            char cls[64] = {};
            GetClassNameA(window, cls, sizeof cls);
            if ((!search->Process || owner == search->Process) && search->Class == cls && IsWindowVisible(window) &&
                WindowText(window).find(search->Caption) != std::string::npos)
                search->Found = window;
            return !search->Found;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// Wine copies every shortcut made into the host desktop's menus, where an
// uninstall leaves it: the helper that does so is kept from starting while
// the test runs, and the prefix's setting is put back afterwards.
class TMenuBuilderOff {
public:
    TMenuBuilderOff()
    {
        DWORD size = sizeof saved_;
        had_ = !RegGetValueA(HKEY_CURRENT_USER, Overrides, Name, RRF_RT_REG_SZ, nullptr, saved_, &size);
        Set(""); // not loaded at all
    }
    ~TMenuBuilderOff()
    {
        if (had_)
            Set(saved_);
        else
            RegDeleteKeyValueA(HKEY_CURRENT_USER, Overrides, Name);
    }

private:
    static constexpr const char *Overrides = "Software\\Wine\\DllOverrides", *Name = "winemenubuilder.exe";
    static void Set(const char* value)
    {
        RegSetKeyValueA(HKEY_CURRENT_USER, Overrides, Name, REG_SZ, value, static_cast<DWORD>(strlen(value) + 1));
    }
    bool had_;
    char saved_[64] = {};
};

// Whatever the package and the probe put into the prefix goes again, and the
// catalogue is put back as it was, so that the other suites find the prefix
// as they left it.
class PackageTest : public ::testing::Test {
protected:
    TSavedCatalogue savedCatalogue;
    const std::string& catalogue = savedCatalogue.Path();
    bool hadStubFolder = FolderExists(WindowsDirectory() + "\\Vantorers");
    std::string package = WindowsPath(PACKAGE_MSI);
    std::string olderPackage = WindowsPath(OLDER_MSI);
    TMenuBuilderOff menuBuilderOff;

    void SetUp() override
    {
        CoInitialize(nullptr);
        Clean();
    }
    void TearDown() override
    {
        Clean();
        if (!hadStubFolder)
            RemoveDirectoryA((WindowsDirectory() + "\\Vantorers").c_str());
        CoUninitialize();
    }
    void Clean()
    {
        for (const auto& [code, version] : UninstallEntries())
            Msiexec("/x " + code);
        RemoveTestService(ProbeService);
        DeleteFileA(StubCopy().c_str());
    }
};

// The installed manager, started away from its folder, with a catalogue
// holding one entry that is not installed yet.
class TInstalledManager {
public:
    explicit TInstalledManager(const std::string& probeProgram)
    {
        TCatalogue().AppendEntry(ProbeService, probeProgram, "wait", "", false);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string line = Quoted(InstallFolder() + "\\Quorvane.exe");
        if (StartProcess(line.data(), FALSE, 0, elsewhere_.Path().c_str(), &startup, &process_))
            PumpUntil([&] { return (window_ = FindProcessWindow(Id(), "TfrmServiceManager", "")) != nullptr; },
                      Patience);
    }
    // Ends the manager and what it started (Notepad): left running, they
    // would hold the test's output open after the test ends.
    ~TInstalledManager()
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            if (entry.th32ParentProcessID == Id())
                if (HANDLE child = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)) {
                    TerminateProcess(child, 0);
                    CloseHandle(child);
                }
        CloseHandle(snapshot);
        if (process_.hProcess) {
            TerminateProcess(process_.hProcess, 0);
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }

    DWORD Id() const { return process_.dwProcessId; }
    HWND Window() const { return window_; }
    HWND Box(const std::string& caption) const { return FindProcessWindow(Id(), "#32770", caption); }
    void Command(WPARAM id) const { PostMessageA(window_, WM_COMMAND, id, 0); }
    // Answers every box as a user who agrees to everything, until none is
    // shown and done() holds; a box that is neither a question nor a piece
    // of information fails the test.
    bool AgreeUntil(const std::function<bool()>& done)
    {
        return PumpUntil(
            [&] {
                HWND box = Box("");
                if (box && box != answered_) {
                    answered_ = box;
                    shown_.push_back(WindowText(box));
                    if (shown_.back() != "Confirm" && shown_.back() != "Information")
                        ADD_FAILURE() << shown_.back() << ": " << WindowText(GetDlgItem(box, 100));
                    HWND yes = ChildWithText(box, "&Yes");
                    PostMessageA(yes ? yes : ChildWithText(box, "OK"), BM_CLICK, 0, 0);
                }
                return !box && done();
            },
            Patience);
    }
    bool Shown(const std::string& caption) const
    {
        return std::find(shown_.begin(), shown_.end(), caption) != shown_.end();
    }
    bool Close() const
    {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        return WaitForSingleObject(process_.hProcess, Patience) == WAIT_OBJECT_0;
    }

private:
    TTempFolder elsewhere_;
    PROCESS_INFORMATION process_ = {};
    HWND window_ = nullptr, answered_ = nullptr;
    std::vector<std::string> shown_;
};

} // namespace

TEST_F(PackageTest, InstallsRunsFromProgramFilesAndUninstallsLeavingServicesAlone)
{
    ASSERT_EQ(Msiexec("/i " + Quoted(package)), 0u);
    const std::string folder = InstallFolder();
    for (const char* name : ShippedFiles)
        EXPECT_TRUE(SameContent(folder + "\\" + name, WindowsPath(DIST_FOLDER) + "\\" + name)) << name;
    EXPECT_TRUE(SameFilePath(ShortcutTarget(), folder + "\\Quorvane.exe")) << ShortcutTarget();
    const auto entries = UninstallEntries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& [product, version] = *entries.begin();
    EXPECT_EQ(version, PACKAGE_VERSION);
    EXPECT_EQ(MachineProductInfo(product, INSTALLPROPERTY_VERSIONSTRING), PACKAGE_VERSION);
    EXPECT_EQ(ProgramVersion(folder + "\\Quorvane.exe"), PACKAGE_VERSION);
    const std::string icon = MachineProductInfo(product, INSTALLPROPERTY_PRODUCTICON);
    EXPECT_TRUE(SameContent(icon, WindowsPath(ICON_FILE))) << icon;

    {
        TInstalledManager manager(WindowsPath(PROBE_PROGRAM));
        ASSERT_TRUE(manager.Window());

        // The About box plays the animation beside the program, holding it open.
        const std::string movie = folder + "\\working.avi";
        manager.Command(AboutCommand);
        HWND about = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return (about = manager.Box("About Quorvane")) != nullptr; }, Patience));
        EXPECT_TRUE(HeldAgainstWriting(movie));
        PostMessageA(ChildWithText(about, "OK"), BM_CLICK, 0, 0);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(about) && !HeldAgainstWriting(movie); }, Patience));

        // Notepad opens the guide beside the program and names it in its caption.
        manager.Command(QuickGuideCommand);
        EXPECT_TRUE(PumpUntil([] { return FindProcessWindow(0, "Notepad", "Quick Guide.txt - ") != nullptr; },
                              Patience));

        // Installing the entry copies the service host from beside the program;
        // the service is started and keeps running after the manager is closed.
        HWND list = FindWindowExA(manager.Window(), nullptr, WC_LISTVIEWA, nullptr);
        PostMessageA(list, WM_KEYDOWN, VK_HOME, 0);
        ASSERT_TRUE(PumpUntil([&] { return SendMessageA(list, LVM_GETNEXTITEM, -1, LVNI_SELECTED) == 0; }, Patience));
        manager.Command(InstallServiceCommand);
        EXPECT_TRUE(manager.AgreeUntil(
            [&] { return manager.Shown("Information") && ServiceState(ProbeService) == SERVICE_RUNNING; }));
        EXPECT_TRUE(SameContent(StubCopy(), folder + "\\Vantorer.bin"));
        EXPECT_TRUE(manager.Close());
    }

    const std::string catalogueBefore = ReadTextFile(catalogue);
    ASSERT_EQ(Msiexec("/x " + Quoted(package)), 0u);
    EXPECT_FALSE(FolderExists(folder));
    EXPECT_EQ(ShortcutTarget(), "");
    EXPECT_TRUE(UninstallEntries().empty());
    EXPECT_EQ(ReadTextFile(catalogue), catalogueBefore);
    EXPECT_EQ(ServiceState(ProbeService), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(BinaryPathRuns(ServiceBinary(ProbeService), StubCopy())) << ServiceBinary(ProbeService);
}

TEST_F(PackageTest, NewerPackageReplacesAnOlderOneAndAnOlderOneIsRefused)
{
    ASSERT_EQ(Msiexec("/i " + Quoted(olderPackage)), 0u);
    EXPECT_EQ(ListedVersions(), std::vector<std::string>{OLDER_VERSION});

    ASSERT_EQ(Msiexec("/i " + Quoted(package)), 0u);
    EXPECT_EQ(ListedVersions(), std::vector<std::string>{PACKAGE_VERSION});
    for (const char* name : ShippedFiles)
        EXPECT_TRUE(FileExists(InstallFolder() + "\\" + name)) << name;

    EXPECT_NE(Msiexec("/i " + Quoted(olderPackage)), 0u);
    EXPECT_EQ(ListedVersions(), std::vector<std::string>{PACKAGE_VERSION});
    EXPECT_TRUE(FileExists(InstallFolder() + "\\Quorvane.exe"));
}
