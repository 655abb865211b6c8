#pragma once
#include <windows.h>

#include <string>

#include "fixtures/Programs.h"

// How a program run by a test ended, with what it wrote.
struct TProgramResult {
    DWORD ExitCode = 0;
    std::string Out;
    std::string Err;
};
// Runs the command line with its standard output and error captured and
// waits for it; a run that cannot start, or outlasts timeoutMs and is
// ended, fails the test.
TProgramResult RunProgram(const std::string& commandLine, DWORD timeoutMs = 60000);
// The same, with input on its standard input.
TProgramResult RunProgram(const std::string& commandLine, const std::string& input, DWORD timeoutMs = 60000);

// What a program wrote to its standard output, as the service host's log
// keeps it: each line without its time stamp and stream.
std::string LoggedOutput(const std::string& log);
