#pragma once
#include <string>

#include "tests/support/Programs.h"

// qv.exe run as a script runs it, from the build's dist folder.
TProgramResult Qv(const std::string& arguments);

// True once count copies of qv run and none has used the processor since
// the last call: they all wait, for the catalogue's write lock.
bool QvsWaiting(size_t count);
