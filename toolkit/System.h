#pragma once
#include <string>

// What Windows tells about itself, as both programs report it.

// The symbolic name of a Windows error code ("ERROR_ACCESS_DENIED"), for
// the codes the manager and the service host meet; nullptr for others.
const char* SystemErrorName(unsigned long code);

// The system's own sentence for an error code, without its line end;
// "System error <code>" when the system has none.
std::string SystemMessage(unsigned long code);

// This computer's name, or "" (which also means this computer to the
// Service Control Manager) when it cannot be read.
std::string LocalComputerName();
