#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "platform/Seam.h"
#include "platform/Security.h"

// One entry of an access list: allowed or denied, its inheritance flags, its
// rights and whom (a SID as text, "S-1-3-0").
struct TKeptAce {
    BYTE Type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE Flags = 0;
    DWORD Mask = 0;
    std::string Sid;

    bool operator==(const TKeptAce&) const = default;
};
std::ostream& operator<<(std::ostream& out, const TKeptAce& ace);

// Files whose access lists are kept, as Windows keeps them and Wine does
// not: while one lives, the security seam reads and sets the lists of
// existing files here. A file never set reads as inheriting full access for
// Administrators. A list set carries its entries' inheritance flags as given.
class TKeptAccessLists {
public:
    TKeptAccessLists();
    ~TKeptAccessLists();
    TKeptAccessLists(const TKeptAccessLists&) = delete;
    TKeptAccessLists& operator=(const TKeptAccessLists&) = delete;

    // The list of a path (any letter case).
    std::vector<TKeptAce>& List(const std::string& path);
    // Every path whose list was set, in order, once each time.
    std::vector<std::string> Set;
    // The entries of the path that name the SID.
    std::vector<TKeptAce> Of(const std::string& path, const std::string& sid);

private:
    std::map<std::string, std::vector<TKeptAce>> lists_;
    TSeamOverride<decltype(TSecurityApi::GetNamedSecurityInfoA)> get_;
    TSeamOverride<decltype(TSecurityApi::SetNamedSecurityInfoA)> set_;
};
