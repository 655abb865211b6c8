#include "deploy/ServiceOwner.h"

#include <vector>

#include "platform/Services.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

std::string WithExtension(const std::string& program)
{
    const size_t name = program.find_last_of("\\/") + 1;
    return program.find('.', name) == std::string::npos ? program + ".exe" : program;
}

} // namespace

std::string ServiceProgram(const std::string& binaryPathName)
{
    const std::string line = Trim(binaryPathName);
    if (!line.empty() && line.front() == '"') {
        size_t close = line.find('"', 1);
        return close == std::string::npos || close == 1 ? "" : WithExtension(line.substr(1, close - 1));
    }
    for (size_t blank = line.find(' '); blank != std::string::npos; blank = line.find(' ', blank + 1)) {
        std::string part = WithExtension(line.substr(0, blank));
        if (FileExists(part))
            return part;
    }
    return line.empty() ? "" : WithExtension(line);
}

bool BinaryPathRuns(const std::string& binaryPathName, const TFilePath& path)
{
    return path.Names(ServiceProgram(binaryPathName));
}

bool BinaryPathRuns(const std::string& binaryPathName, const std::string& path)
{
    return BinaryPathRuns(binaryPathName, TFilePath(path));
}

std::optional<std::vector<BYTE>> QueriedServiceConfig(SC_HANDLE service, TQueryServiceConfig query)
{
    if (!query)
        query = ServiceApi().QueryServiceConfigA;
    // Most configurations fit the first buffer, so most take one call.
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    while (!query(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()), static_cast<DWORD>(buffer.size()),
                  &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size())
            return std::nullopt;
        buffer.resize(needed);
    }
    return buffer;
}

std::optional<std::string> RegisteredBinaryPath(SC_HANDLE service, TQueryServiceConfig query)
{
    const std::optional<std::vector<BYTE>> buffer = QueriedServiceConfig(service, query);
    if (!buffer)
        return std::nullopt;
    const char* path = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer->data())->lpBinaryPathName;
    return std::string(path ? path : "");
}

std::string ForeignServiceText(const std::string& serviceName, const std::string& binaryPathName)
{
    // A registration that could not be read names no program.
    const std::string program = binaryPathName.empty() ? "" : " (" + binaryPathName + ")";
    return "The service \"" + serviceName + "\" belongs to another program" + program +
           ", not to Quorvane: it is left as it is.";
}
