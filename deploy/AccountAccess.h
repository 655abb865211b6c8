#pragma once
#include <string>
#include <vector>

#include "toolkit/Refusal.h"

// What a service's account is given of the files Quorvane set up for it, and
// how it is taken back. An account other than LocalSystem gets exactly what
// its host needs: read and run on its host copy; on its log, write and
// delete on the log file and its old files, and in the log's folder the right
// to create files (and to write and rename those it creates), nothing that
// reaches a sub-folder. What is given is recorded beside the host copy, so
// that only that is taken back when the account changes or the entry is
// uninstalled; access an administrator gave the account stays.

// The paths the account must reach; LogFile is empty for an entry that logs
// to the event log.
struct TAccountPaths {
    std::string HostCopy;
    std::string LogFile;
};

// The record of what the entry's account was given: beside the host copy,
// named after it ("Mail!Relay.exe" keeps "Mail!Relay.grants").
std::string GrantRecordFile(const std::string& hostCopy);

// Refuses a log folder that would hand an account other than LocalSystem the
// right to create files where programs live: a drive's root, the Windows
// folder or one in it, a Program Files folder.
TRefusal LogFolderAccountRefusal(const std::string& account, const std::string& logFile);

// Takes back what the record beside the host copy says the entry's account
// was given, except what another entry's record holds too, and deletes the
// record. An entry without a record is left as it is. Returns a refusal per
// path whose access could not be taken back; those stay in the record.
std::vector<std::string> RevokeAccountAccess(const std::string& hostCopy);

// Takes back what the record holds, then gives the account what it needs of
// the paths and records it; LocalSystem needs nothing. Returns a refusal per
// path that could not be given.
std::vector<std::string> GrantAccountAccess(const std::string& account, const TAccountPaths& paths);
