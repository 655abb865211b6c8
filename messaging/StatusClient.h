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
    // The pipe would not let us in: only administrators, LocalSystem and
    // the host's own account may ask.
    Refused,
    // The pipe is served by another process than the service's host: any
    // program may create a pipe of that name first. Nothing was asked and
    // nothing of it is used.
    Impostor,
    // Busy or slow: no answer within the time, tried again while it lasted.
    NoAnswer,
    // An answer that cannot be read, or the host's error.
    Failed,
};

struct TStatusReply {
    TStatusOutcome Outcome = TStatusOutcome::Failed;
    // When answered.
    TProgramStatus Status;
    // The host's answer as it came (UTF-8 JSON), for those who pass it on.
    std::string Answer;
    // Why, when it was not answered.
    std::string Failure;
    // The process that served the pipe, when one was reached.
    DWORD ServerPid = 0;
};

// Whom to ask: the service ID names the pipe, and only the answer of the
// service's own process (its host, as the Service Control Manager reports
// it) is believed.
struct TStatusQuestion {
    int ServiceID = 0;
    DWORD HostPid = 0;
};

// How long one try may take: what a busy or hung host may cost. A host that
// is not there costs nothing.
inline constexpr DWORD StatusTimeoutMs = 1000;

// Asks within timeoutMs, trying again while a busy or slow host leaves time.
TStatusReply AskStatus(const TStatusQuestion& question, DWORD timeoutMs = StatusTimeoutMs);
// Asks them all at once; the replies in the order of the questions.
std::vector<TStatusReply> AskStatuses(const std::vector<TStatusQuestion>& questions,
                                      DWORD timeoutMs = StatusTimeoutMs);

// Reads an answer line: Answered, or Failed with the reason.
TStatusReply ReadStatusAnswer(const std::string& line);
