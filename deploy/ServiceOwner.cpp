#include "deploy/ServiceOwner.h"

#include <vector>

#include "platform/Services.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

bool BinaryPathRuns(const std::string& binaryPathName, const std::string& path)
{
    std::string line = Trim(binaryPathName);
    if (!line.empty() && line.front() == '"') {
        size_t close = line.find('"', 1);
        return close != std::string::npos && SameFilePath(line.substr(1, close - 1), path);
    }
    // Unquoted: the program is the whole line or ends before one of its blanks.
    for (size_t end = line.size(); end > 0;) {
        if (SameFilePath(line.substr(0, end), path))
            return true;
        size_t blank = line.rfind(' ', end - 1);
        if (blank == std::string::npos)
            break;
        end = blank;
    }
    return false;
}

std::optional<std::string> RegisteredBinaryPath(SC_HANDLE service)
{
    DWORD needed = 0;
    ServiceApi().QueryServiceConfigA(service, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return std::nullopt;
    std::vector<char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!ServiceApi().QueryServiceConfigA(service, config, needed, &needed))
        return std::nullopt;
    return std::string(config->lpBinaryPathName ? config->lpBinaryPathName : "");
}

std::string ForeignServiceText(const std::string& serviceName, const std::string& binaryPathName)
{
    // A registration that could not be read names no program.
    const std::string program = binaryPathName.empty() ? "" : " (" + binaryPathName + ")";
    return "The service \"" + serviceName + "\" belongs to another program" + program +
           ", not to Quorvane: it is left as it is.";
}
