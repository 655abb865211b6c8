#include "deploy/ServiceEnd.h"

#include <windows.h>

#include <fstream>
#include <sstream>

#include "platform/Kernel.h"

namespace {

constexpr const char* ReasonNames[] = {"requested", "not-restarted", "gave-up", "cannot-start", "host-failed"};
// A record is a few hundred bytes; a bigger file is none of ours.
constexpr std::streamsize MostRecordBytes = 16 * 1024;

std::optional<unsigned long> Number(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned long>(value);
}

// Words end at the line: a line break in them would start another key.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

} // namespace

std::string ServiceEndPath(const std::string& stubPath)
{
    const size_t dot = stubPath.find_last_of(".\\/");
    const bool hasExtension = dot != std::string::npos && stubPath[dot] == '.';
    return (hasExtension ? stubPath.substr(0, dot) : stubPath) + ".end";
}

std::string ServiceEndText(const TServiceEnd& end)
{
    std::string text;
    auto line = [&](const char* key, const std::string& value) { text += std::string(key) + "=" + value + "\n"; };
    line("at", OneLine(end.At));
    line("reason", ReasonNames[static_cast<int>(end.Reason)]);
    line("why", OneLine(end.Why));
    line("starts", std::to_string(end.Starts));
    line("countedStarts", std::to_string(end.CountedStarts));
    line("windowSeconds", std::to_string(end.WindowSeconds));
    line("lastExitCode", end.LastExitCode ? std::to_string(*end.LastExitCode) : "");
    line("programKilled", end.ProgramKilled ? "1" : "0");
    line("stopTimeoutSeconds", std::to_string(end.StopTimeoutSeconds));
    line("serviceExitCode", std::to_string(end.ServiceExitCode));
    return text;
}

std::optional<TServiceEnd> ReadServiceEndText(const std::string& text)
{
    TServiceEnd end;
    bool reason = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        const std::optional<unsigned long> number = Number(value);
        if (key == "at") {
            end.At = value;
        } else if (key == "reason") {
            for (int i = 0; i < static_cast<int>(std::size(ReasonNames)); ++i)
                if (value == ReasonNames[i]) {
                    end.Reason = static_cast<TEndReason>(i);
                    reason = true;
                }
        } else if (key == "why") {
            end.Why = value;
        } else if (key == "starts" && number) {
            end.Starts = *number;
        } else if (key == "countedStarts" && number) {
            end.CountedStarts = *number;
        } else if (key == "windowSeconds" && number) {
            end.WindowSeconds = *number;
        } else if (key == "lastExitCode") {
            end.LastExitCode = number;
        } else if (key == "programKilled") {
            end.ProgramKilled = value == "1";
        } else if (key == "stopTimeoutSeconds" && number) {
            end.StopTimeoutSeconds = *number;
        } else if (key == "serviceExitCode" && number) {
            end.ServiceExitCode = *number;
        }
    }
    if (!reason || end.At.empty())
        return std::nullopt;
    return end;
}

namespace {

// The whole text in the file, made or emptied first; false when it could not
// be written.
bool WriteWhole(const std::string& path, DWORD disposition, const std::string& text)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    DWORD written = 0;
    return file && (text.empty() || (WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                                               nullptr) &&
                                     written == text.size()));
}

} // namespace

bool WriteServiceEnd(const std::string& stubPath, const TServiceEnd& end)
{
    const std::string path = ServiceEndPath(stubPath), temporary = path + ".new";
    const std::string text = ServiceEndText(end);
    // A reader finds the old record or the new one.
    if (WriteWhole(temporary, CREATE_ALWAYS, text) &&
        MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileA(temporary.c_str());
    // A host running as its own account may write only the record itself,
    // which its install made and gave it: in place, then. A reader that comes
    // in the middle finds no record, never a wrong one.
    return WriteWhole(path, TRUNCATE_EXISTING, text);
}

std::optional<TServiceEnd> ReadServiceEnd(const std::string& stubPath)
{
    std::ifstream file(ServiceEndPath(stubPath), std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string text(static_cast<size_t>(MostRecordBytes), '\0');
    file.read(text.data(), MostRecordBytes);
    text.resize(static_cast<size_t>(file.gcount()));
    return ReadServiceEndText(text);
}

void RemoveServiceEnd(const std::string& stubPath)
{
    const std::string path = ServiceEndPath(stubPath);
    // Emptied where it may not be deleted: an empty record is none.
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        WriteWhole(path, TRUNCATE_EXISTING, "");
}
