#pragma once
#include <windows.h>

// How the host hands a process it starts (the program, a health check's
// command) its standard handles.

// NUL, opened so that a child inherits it.
HANDLE OpenInheritableNul(DWORD access);

// Startup information for a child without a window of its own, reading
// input and writing output and error through the handles given (inheritable
// ones).
STARTUPINFOA HiddenStartup(HANDLE input, HANDLE output, HANDLE error);
