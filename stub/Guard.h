#pragma once
#include <functional>
#include <string>

#include "stub/StubLog.h"

// The one door of every thread the service host runs: whatever the body
// throws is caught, written to the log as "<part> failed: <reason>", and
// handed on to the failure handler, so nothing ends the process unseen.
void RunGuarded(const char* part, TStubLog& log, const std::function<void()>& body) noexcept;

// The stack each thread of the host reserves: none holds much.
inline constexpr DWORD ThreadStackBytes = 64 * 1024;

// What a caught failure leads to; the service host stops its service. None
// by default (the in-process tests).
void SetFailureHandler(void (*handler)(const std::string& failure));

// The text of the exception being handled: a TError's message, what() of any
// standard exception, a fixed text for anything else. Call only in a catch.
std::string CurrentFailure();
