#include "catalogue/Catalogue.h"

#include <algorithm>

#include "toolkit/Paths.h"
#include "toolkit/Text.h"

// The reading half of the catalogue, on its own: the service host needs
// only this.

namespace {

// n for a key that reads as ServiceKey(n) with n up to MaxEntries, else 0.
int ServiceKeyIndex(const std::string& key)
{
    const std::string prefix = "service_";
    const size_t digits = key.size() - std::min(key.size(), prefix.size());
    if (digits == 0 || digits > 6 || LowerCase(key.substr(0, prefix.size())) != prefix || key[prefix.size()] == '0')
        return 0;
    int index = 0;
    for (size_t at = prefix.size(); at < key.size(); ++at) {
        if (key[at] < '0' || key[at] > '9')
            return 0;
        index = index * 10 + (key[at] - '0');
    }
    return index <= MaxEntries ? index : 0;
}

} // namespace

std::string ServiceKey(int index)
{
    return "Service_" + std::to_string(index);
}

std::string DefaultDescription(int index)
{
    return "Service " + std::to_string(index);
}

std::string DefaultProgram(int index)
{
    return DefaultDescription(index) + ".exe";
}

TCatalogueSnapshot::TCatalogueSnapshot(const std::string& fileName) : document_(fileName)
{
    // A count that cannot be right, typed by hand or left by a broken write,
    // must neither list thousands of phantom entries nor hide real ones: the
    // list reaches the last key it covers, with no more missing keys on the
    // way than keys present.
    storedCount_ = document_.ReadInteger(StatusSection, NumServicesKey, -1);
    const int reach = storedCount_ >= 0 && storedCount_ <= MaxEntries ? storedCount_ : MaxEntries;
    std::vector<int> present;
    for (const std::string& key : document_.KeyNames(StatusSection)) {
        int index = ServiceKeyIndex(key);
        if (index >= 1 && index <= reach)
            present.push_back(index);
    }
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());
    for (size_t found = 1; found <= present.size(); ++found)
        if (present[found - 1] <= 2 * static_cast<int>(found))
            count_ = present[found - 1];
}

std::string TCatalogueSnapshot::Description(int index) const
{
    return document_.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
}

TCatalogueEntry TCatalogueSnapshot::Entry(int index) const
{
    TCatalogueEntry entry;
    entry.Description = Description(index);
    entry.StubPath = document_.ReadString(entry.Description, VantorerKey, "");
    entry.Program = document_.ReadString(entry.Description, ProgramKey, DefaultProgram(index));
    entry.Parameters = document_.ReadString(entry.Description, ParametersKey, "");
    entry.Installed = document_.ReadBool(entry.Description, InstalledKey, false);
    entry.ServiceID = document_.ReadInteger(entry.Description, ServiceIDKey, 1);
    entry.LogFile = document_.ReadString(entry.Description, LogFileKey, "");
    entry.LogToFile = document_.ReadBool(entry.Description, LogToFileKey, false);
    return entry;
}

int TCatalogueSnapshot::FindByStubPath(const TFilePath& path) const
{
    for (int n = 1; n <= count_; ++n)
        if (path.Names(document_.ReadString(Description(n), VantorerKey, "")))
            return n;
    return -1;
}

int TCatalogueSnapshot::FindDescription(const std::string& description, int except) const
{
    const std::string wanted = LowerCase(description);
    for (int n = 1; n <= count_; ++n)
        if (n != except && LowerCase(Description(n)) == wanted)
            return n;
    return -1;
}

int TCatalogueSnapshot::Find(const TEntryKey& key, TEntryOutcome& outcome) const
{
    // Of entries that share a description (a hand-edited file), the one with
    // the service ID; else one alone under another description now.
    const std::string wanted = LowerCase(key.Description);
    int renamed = -1, sharing = 0;
    outcome = TEntryOutcome::Done;
    for (int n = 1; n <= count_; ++n) {
        const bool named = LowerCase(Description(n)) == wanted;
        if (named && key.ServiceID == 0)
            return n;
        if (key.ServiceID != 0 && document_.ReadInteger(Description(n), ServiceIDKey, 1) == key.ServiceID) {
            if (named)
                return n;
            renamed = n;
            ++sharing;
        }
    }
    outcome = sharing == 1 ? TEntryOutcome::Renamed : TEntryOutcome::Gone;
    return sharing == 1 ? renamed : -1;
}
