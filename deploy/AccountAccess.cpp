#include "deploy/AccountAccess.h"

#include "deploy/ServiceEnd.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "catalogue/ServiceSettings.h"
#include "catalogue/StubCopy.h"
#include "platform/Accounts.h"
#include "platform/Kernel.h"
#include "platform/Security.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

constexpr const char* RecordExtension = ".grants";
// Files created later in the log's folder belong to whoever created them:
// an entry for their creator reaches only the account's own new files.
constexpr const char* CreatorOwnerSid = "S-1-3-0";

// Of the host copy: read and run it.
constexpr DWORD HostCopyAccess = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
// Of the log's folder itself: find the old files, create files and rename
// them into it.
constexpr DWORD LogFolderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                  SYNCHRONIZE;
// Of the log file and its old files: append, move aside, delete the oldest.
constexpr DWORD LogFileAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
// The record of how the service ended, beside the host copy: the host
// rewrites it in place, and may neither delete it nor make files beside it.
constexpr DWORD EndRecordAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
// Reaches the files created in the folder, and neither the folder itself nor
// a sub-folder or what is in one.
constexpr BYTE NewFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | NO_PROPAGATE_INHERIT_ACE;

// One entry of an access list that Quorvane added: what it reaches ("log"
// is the log file and its old files), whom (a SID as text), which rights
// with which inheritance flags, on which path.
struct TGrant {
    std::string What;
    std::string Sid;
    DWORD Mask = 0;
    BYTE Flags = 0;
    std::string Path;

    bool SameEntry(const TGrant& other) const
    {
        return Sid == other.Sid && Flags == other.Flags && LowerCase(Path) == LowerCase(other.Path);
    }
};

std::string Line(const TGrant& grant)
{
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%08lx %02x", grant.Mask, grant.Flags);
    return grant.What + " " + grant.Sid + " " + numbers + " " + grant.Path;
}

std::vector<TGrant> ReadRecord(const std::string& file)
{
    std::vector<TGrant> grants;
    TKernelHandle handle(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle)
        return grants;
    std::string text(64 * 1024, '\0');
    DWORD read = 0;
    if (!ReadFile(handle.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr))
        read = 0;
    text.resize(read);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream fields(line);
        TGrant grant;
        std::string mask, flags;
        if (!(fields >> grant.What >> grant.Sid >> mask >> flags) || fields.get() != ' ')
            continue;
        std::getline(fields, grant.Path);
        grant.Mask = std::strtoul(mask.c_str(), nullptr, 16);
        grant.Flags = static_cast<BYTE>(std::strtoul(flags.c_str(), nullptr, 16));
        if (!grant.Path.empty() && grant.Mask)
            grants.push_back(grant);
    }
    return grants;
}

// Writes the record, or deletes it when nothing is left to take back; a
// record that cannot be written is refused with the reason.
void WriteRecord(const std::string& file, const std::vector<TGrant>& grants, std::vector<std::string>& refusals)
{
    if (grants.empty()) {
        DeleteFileA(file.c_str());
        return;
    }
    std::string text;
    for (const TGrant& grant : grants)
        text += Line(grant) + "\r\n";
    TKernelHandle handle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!handle || !WriteFile(handle.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        const DWORD error = GetLastError();
        refusals.push_back("Account: the record of the access given to the service's account, \"" + file +
                           "\", could not be written, so it will not be taken back: " + SystemMessage(error));
    }
}

// What the other entries' records hold: the access they need stays.
std::vector<TGrant> OtherRecords(const std::string& own)
{
    std::vector<TGrant> grants;
    WIN32_FIND_DATAA found;
    const std::string folder = FolderOf(own);
    const TFindHandle search(FindFirstFileA((folder + "\\*" + RecordExtension).c_str(), &found));
    if (!search)
        return grants;
    do {
        const std::string file = folder + "\\" + found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !SameFilePath(file, own))
            for (const TGrant& grant : ReadRecord(file))
                grants.push_back(grant);
    } while (FindNextFileA(search.Get(), &found));
    return grants;
}

// The rights of the same entry that other records hold.
DWORD HeldByOthers(const TGrant& grant, const std::vector<TGrant>& others)
{
    DWORD mask = 0;
    for (const TGrant& other : others)
        if (other.SameEntry(grant))
            mask |= other.Mask;
    return mask;
}

using TSidMemory = TOwner<TNullKind<PSID, ::LocalFree>>;

// Adds the rights to, or removes them from, the explicit entry allowing the
// SID with those inheritance flags on the path; an entry left with no right
// goes. had gets the rights the entry held before. The list keeps its
// order: a new entry goes after the explicit ones, before the inherited.
DWORD ChangeAllowed(const std::string& path, const std::string& sidText, BYTE flags, DWORD add, DWORD remove,
                    DWORD& had)
{
    had = 0;
    TSidMemory sid;
    if (!ConvertStringSidToSidA(sidText.c_str(), sid.Receive()))
        return GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD error = SecurityApi().GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                      nullptr, nullptr, &dacl, nullptr, &raw);
    if (error != ERROR_SUCCESS)
        return error;
    const TLocalMemory descriptor(raw);
    // Without a list everyone may do everything: nothing to give or take.
    if (!dacl)
        return ERROR_SUCCESS;
    std::vector<std::vector<BYTE>> aces;
    bool found = false, changed = false;
    size_t firstInherited = dacl->AceCount;
    for (WORD at = 0; at < dacl->AceCount; ++at) {
        void* ace = nullptr;
        if (!GetAce(dacl, at, &ace))
            return GetLastError();
        const auto* header = static_cast<ACE_HEADER*>(ace);
        std::vector<BYTE> copy(static_cast<BYTE*>(ace), static_cast<BYTE*>(ace) + header->AceSize);
        if (header->AceFlags & INHERITED_ACE) {
            firstInherited = std::min(firstInherited, aces.size());
        } else if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && header->AceFlags == flags && !found) {
            auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(copy.data());
            if (EqualSid(&allowed->SidStart, sid.Get())) {
                found = true;
                had = allowed->Mask;
                const DWORD mask = (had | add) & ~remove;
                changed = mask != had;
                allowed->Mask = mask;
                if (mask == 0)
                    continue;
            }
        }
        aces.push_back(std::move(copy));
    }
    if (!found && add) {
        const DWORD size = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid.Get());
        std::vector<BYTE> ace(size);
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace.data());
        allowed->Header = {ACCESS_ALLOWED_ACE_TYPE, flags, static_cast<WORD>(size)};
        allowed->Mask = add;
        CopySid(GetLengthSid(sid.Get()), &allowed->SidStart, sid.Get());
        aces.insert(aces.begin() + static_cast<std::ptrdiff_t>(std::min(firstInherited, aces.size())), ace);
        changed = true;
    }
    if (!changed)
        return ERROR_SUCCESS;
    DWORD size = sizeof(ACL);
    for (const std::vector<BYTE>& ace : aces)
        size += static_cast<DWORD>(ace.size());
    std::vector<BYTE> buffer(size);
    auto* list = reinterpret_cast<PACL>(buffer.data());
    if (!InitializeAcl(list, size, dacl->AclRevision))
        return GetLastError();
    for (std::vector<BYTE>& ace : aces)
        if (!AddAce(list, dacl->AclRevision, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())))
            return GetLastError();
    std::string target = path;
    return SecurityApi().SetNamedSecurityInfoA(target.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, list, nullptr);
}

// The log file and its old ones, as the host names them: "<file>.<digits>".
std::vector<std::string> LogFamily(const std::string& logFile)
{
    std::vector<std::string> files;
    if (FileExists(logFile))
        files.push_back(logFile);
    WIN32_FIND_DATAA found;
    const TFindHandle search(FindFirstFileA((logFile + ".*").c_str(), &found));
    if (!search)
        return files;
    const std::string folder = FolderOf(logFile), name = logFile.substr(logFile.find_last_of("\\/") + 1);
    do {
        const std::string file = found.cFileName;
        const std::string digits = file.size() > name.size() + 1 ? file.substr(name.size() + 1) : "";
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !digits.empty() &&
            digits.find_first_not_of("0123456789") == std::string::npos)
            files.push_back(folder + "\\" + file);
    } while (FindNextFileA(search.Get(), &found));
    return files;
}

// The SID of the account as text, or the error that kept it unknown.
DWORD AccountSidText(const std::string& account, std::string& text)
{
    const std::string name = account.starts_with(".\\") ? account.substr(2) : account;
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    AccountsApi().LookupAccountNameA(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    std::vector<BYTE> sid(sidSize ? sidSize : 1);
    std::string domain(domainSize ? domainSize : 1, '\0');
    if (!AccountsApi().LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize,
                                          &use))
        return GetLastError();
    char* converted = nullptr;
    if (!ConvertSidToStringSidA(sid.data(), &converted))
        return GetLastError();
    const TLocalMemory owned(converted);
    text = converted;
    return ERROR_SUCCESS;
}

std::string Reason(DWORD error)
{
    const char* name = SystemErrorName(error);
    return SystemMessage(error) + " (" + (name ? name : "error " + std::to_string(error)) + ")";
}

// Whether a folder is one where programs live: a drive's root, the Windows
// folder or one in it, a Program Files folder.
bool SharedFolder(const std::string& folder)
{
    char full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    std::string path = length && length < sizeof full ? std::string(full, length) : folder;
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/'))
        path.pop_back();
    const std::string lower = LowerCase(path);
    if (lower.size() == 2 && lower[1] == ':')
        return true;
    // "\\server\share"
    if (lower.starts_with("\\\\") && std::count(lower.begin() + 2, lower.end(), '\\') <= 1)
        return true;
    const std::string windows = LowerCase(WindowsDirectory());
    if (!windows.empty() && (lower == windows || lower.starts_with(windows + "\\")))
        return true;
    for (const char* variable : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
        char value[MAX_PATH];
        const DWORD size = GetEnvironmentVariableA(variable, value, sizeof value);
        if (size && size < sizeof value && lower == LowerCase(value))
            return true;
    }
    return false;
}

} // namespace

std::string GrantRecordFile(const std::string& hostCopy)
{
    const size_t dot = hostCopy.find_last_of('.');
    const size_t slash = hostCopy.find_last_of("\\/");
    const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (extension ? hostCopy.substr(0, dot) : hostCopy) + RecordExtension;
}

TRefusal LogFolderAccountRefusal(const std::string& account, const std::string& logFile)
{
    const std::string folder = FolderOf(logFile);
    if (logFile.empty() || AccountKind(account) == TAccountKind::LocalSystem || !SharedFolder(folder))
        return {};
    const std::string name = logFile.substr(logFile.find_last_of("\\/") + 1);
    const size_t dot = name.find_last_of('.');
    return TRefusal("Account: \"" + account + "\" would be given the right to create files in \"" + folder +
                    "\", where programs live (a drive's root, the Windows folder or a Program Files folder): "
                    "log to a folder of its own, such as \"" + WindowsDirectory().substr(0, 2) + "\\Logs\\" +
                    (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + "\\" + name + "\"");
}

std::vector<std::string> RevokeAccountAccess(const std::string& hostCopy)
{
    const std::string record = GrantRecordFile(hostCopy);
    const std::vector<TGrant> granted = ReadRecord(record);
    if (granted.empty())
        return {};
    const std::vector<TGrant> others = OtherRecords(record);
    std::vector<TGrant> kept;
    std::vector<std::string> refusals;
    for (TGrant grant : granted) {
        // The log's old files carry the entry the log had when it was moved
        // aside.
        std::vector<std::string> paths{grant.Path};
        if (grant.What == "log")
            paths = LogFamily(grant.Path);
        const DWORD remove = grant.Mask & ~HeldByOthers(grant, others);
        for (const std::string& path : paths) {
            DWORD had = 0;
            const DWORD error = remove ? ChangeAllowed(path, grant.Sid, grant.Flags, 0, remove, had) : ERROR_SUCCESS;
            // What is gone with its file needs no taking back.
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SUCCESS)
                continue;
            refusals.push_back("Account: the access given to the service's account on \"" + path +
                               "\" could not be taken back: " + Reason(error));
            TGrant left = grant;
            left.What = "file";
            left.Path = path;
            kept.push_back(left);
        }
    }
    WriteRecord(record, kept, refusals);
    return refusals;
}

std::vector<std::string> GrantAccountAccess(const std::string& account, const TAccountPaths& paths)
{
    std::vector<std::string> refusals = RevokeAccountAccess(paths.HostCopy);
    if (AccountKind(account) == TAccountKind::LocalSystem)
        return refusals;
    std::string sid;
    if (const DWORD error = AccountSidText(account, sid)) {
        refusals.push_back("Account: \"" + account + "\" could not be given access to its files: " + Reason(error));
        return refusals;
    }
    std::vector<TGrant> wanted{{"file", sid, HostCopyAccess, 0, paths.HostCopy}};
    // Made here, by an administrator, so the account can be given this one
    // file and nothing else of the folder.
    const std::string endRecord = ServiceEndPath(paths.HostCopy);
    TKernelHandle(CreateFileA(endRecord.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    wanted.push_back({"file", sid, EndRecordAccess, 0, endRecord});
    if (!paths.LogFile.empty()) {
        if (TRefusal refused = LogFolderAccountRefusal(account, paths.LogFile)) {
            refusals.push_back(refused.Reason());
        } else {
            const std::string folder = FolderOf(paths.LogFile);
            wanted.push_back({"file", sid, LogFolderAccess, 0, folder});
            wanted.push_back({"file", CreatorOwnerSid, LogFileAccess, NewFilesOnly, folder});
            // A log the host writes later is its own (the entry above); one
            // there already, and its old files, are given to it.
            for (const std::string& file : LogFamily(paths.LogFile))
                wanted.push_back({file == paths.LogFile ? "log" : "file", sid, LogFileAccess, 0, file});
        }
    }
    const std::string record = GrantRecordFile(paths.HostCopy);
    const std::vector<TGrant> others = OtherRecords(record);
    std::vector<TGrant> given;
    for (TGrant grant : wanted) {
        DWORD had = 0;
        const DWORD error = ChangeAllowed(grant.Path, grant.Sid, grant.Flags, grant.Mask, 0, had);
        if (error != ERROR_SUCCESS) {
            refusals.push_back("Account: \"" + account + "\" could not be given access to \"" + grant.Path +
                               "\": " + Reason(error));
            continue;
        }
        // Rights the account held before that no entry of ours gave it are
        // an administrator's, and stay when ours are taken back.
        grant.Mask &= ~(had & ~HeldByOthers(grant, others));
        if (grant.Mask)
            given.push_back(grant);
    }
    WriteRecord(record, given, refusals);
    return refusals;
}
