#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "messaging/StatusPipe.h"

// Asks service hosts through their status pipes what their programs do.

enum class TStatusOutcome {
    Answered,
    // No pipe of that service ID: no host runs, or a host copy from before
    // the pipe. Known at once.
    NoHost,
    // The pipe would not let us in: only administrators and LocalSystem may
    // ask.
    Refused,
    // No answer in time, or one that cannot be read, or the host's error.
    Failed,
};

struct TStatusReply {
    TStatusOutcome Outcome = TStatusOutcome::Failed;
    // When answered.
    TProgramStatus Status;
    // The host's answer as it came (UTF-8 JSON), for those who pass it on.
    std::string Answer;
    // Why, when it failed.
    std::string Failure;
};

// What a busy or hung host may take; one that is not there costs nothing.
inline constexpr DWORD StatusTimeoutMs = 1000;

TStatusReply AskStatus(int serviceID, DWORD timeoutMs = StatusTimeoutMs);
// Asks them all at once; the replies in the order of the IDs.
std::vector<TStatusReply> AskStatuses(const std::vector<int>& serviceIDs, DWORD timeoutMs = StatusTimeoutMs);

// Reads an answer line: Answered, or Failed with the reason.
TStatusReply ReadStatusAnswer(const std::string& line);
