#pragma once
#include <windows.h>

#include <string>

// A build-tree path as the tests see it under Wine: drive Z: is "/".
std::string WindowsPath(const char* unixPath);

// How a program run by a test ended.
struct TProgramRun {
    DWORD ExitCode = 0;
    std::string Out;
    std::string Err;
};
// Runs the command line with its standard output and error captured and
// waits for it; a run that outlasts timeoutMs is ended and fails the test.
TProgramRun RunProgram(const std::string& commandLine, DWORD timeoutMs = 60000);
