#include "tests/support/AccessLists.h"

#include <sddl.h>

#include <ostream>

#include "platform/Kernel.h"
#include "toolkit/Text.h"

namespace {

TKeptAccessLists* kept = nullptr;

std::string Key(const std::string& path)
{
    std::string key = LowerCase(path);
    while (key.size() > 3 && key.back() == '\\')
        key.pop_back();
    return key;
}

DWORD WINAPI KeptGet(LPCSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL* dacl, PACL*,
                     PSECURITY_DESCRIPTOR* descriptor)
{
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    std::vector<std::vector<BYTE>> aces;
    DWORD size = sizeof(ACL);
    for (const TKeptAce& entry : kept->List(path)) {
        PSID sid = nullptr;
        ConvertStringSidToSidA(entry.Sid.c_str(), &sid);
        const TLocalMemory owned(sid);
        const DWORD length = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
        std::vector<BYTE> ace(length);
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace.data());
        allowed->Header = {entry.Type, entry.Flags, static_cast<WORD>(length)};
        allowed->Mask = entry.Mask;
        CopySid(GetLengthSid(sid), &allowed->SidStart, sid);
        size += length;
        aces.push_back(std::move(ace));
    }
    // One block, as the system hands it: the descriptor and its list.
    const DWORD header = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, header + size));
    auto* relative = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(block);
    relative->Revision = SECURITY_DESCRIPTOR_REVISION;
    relative->Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    relative->Dacl = header;
    auto* list = reinterpret_cast<PACL>(block + header);
    InitializeAcl(list, size, ACL_REVISION);
    for (std::vector<BYTE>& ace : aces)
        AddAce(list, ACL_REVISION, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size()));
    if (dacl)
        *dacl = list;
    *descriptor = block;
    return ERROR_SUCCESS;
}

DWORD WINAPI KeptSet(LPSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL dacl, PACL)
{
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    std::vector<TKeptAce> entries;
    for (WORD at = 0; dacl && at < dacl->AceCount; ++at) {
        void* ace = nullptr;
        GetAce(dacl, at, &ace);
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char* sid = nullptr;
        ConvertSidToStringSidA(const_cast<DWORD*>(&allowed->SidStart), &sid);
        const TLocalMemory owned(sid);
        entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, sid});
    }
    kept->List(path) = entries;
    kept->Set.push_back(path);
    return ERROR_SUCCESS;
}

} // namespace

std::ostream& operator<<(std::ostream& out, const TKeptAce& ace)
{
    return out << "{type " << int(ace.Type) << ", flags " << int(ace.Flags) << ", mask 0x" << std::hex << ace.Mask
               << std::dec << ", " << ace.Sid << "}";
}

TKeptAccessLists::TKeptAccessLists()
    : get_(SecurityApi().GetNamedSecurityInfoA, KeptGet), set_(SecurityApi().SetNamedSecurityInfoA, KeptSet)
{
    kept = this;
}

TKeptAccessLists::~TKeptAccessLists()
{
    kept = nullptr;
}

std::vector<TKeptAce>& TKeptAccessLists::List(const std::string& path)
{
    auto [at, added] = lists_.try_emplace(Key(path));
    if (added)
        at->second = {{ACCESS_ALLOWED_ACE_TYPE, INHERITED_ACE, FILE_ALL_ACCESS, "S-1-5-32-544"}};
    return at->second;
}

std::vector<TKeptAce> TKeptAccessLists::Of(const std::string& path, const std::string& sid)
{
    std::vector<TKeptAce> found;
    for (const TKeptAce& ace : List(path))
        if (ace.Sid == sid)
            found.push_back(ace);
    return found;
}
