#include "tests/support/Programs.h"

#include <gtest/gtest.h>

#include "platform/Kernel.h"
#include "tests/support/TempFiles.h"

namespace {

HANDLE InheritableFile(const std::string& path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TProgramResult RunProgram(const std::string& commandLine, DWORD timeoutMs)
{
    return RunProgram(commandLine, std::string(), timeoutMs);
}

TProgramResult RunProgram(const std::string& commandLine, const std::string& input, DWORD timeoutMs)
{
    // Files rather than pipes: nothing to drain while the program runs.
    TTempFolder folder;
    TProgramEnd end;
    {
        TKernelHandle out(InheritableFile(folder.File("out"))), err(InheritableFile(folder.File("err")));
        TKernelHandle in;
        if (!input.empty()) {
            WriteTextFile(folder.File("in"), input);
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            in = TKernelHandle(CreateFileA(folder.File("in").c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                                           OPEN_EXISTING, 0, nullptr));
        }
        end = RunToEnd(commandLine, out.Get(), err.Get(), timeoutMs, CREATE_NO_WINDOW, in.Get());
    }
    if (!end.Started)
        ADD_FAILURE() << "cannot run " << commandLine << ": error " << end.StartError;
    else if (!end.InTime)
        ADD_FAILURE() << commandLine << " did not end within " << timeoutMs << " ms";
    return {end.ExitCode, ReadTextFile(folder.File("out")), ReadTextFile(folder.File("err"))};
}

std::string LoggedOutput(const std::string& log)
{
    std::string said;
    for (size_t at = log.find(" out: "); at != std::string::npos; at = log.find(" out: ", at + 1))
        said += log.substr(at + 6, log.find('\n', at) - at - 5);
    return said;
}
