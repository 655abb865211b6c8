#include "messaging/StatusClient.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/Kernel.h"
#include "toolkit/AtOnce.h"
#include "toolkit/Text.h"

namespace {

using nlohmann::json;

// An answer is a few hundred bytes; anything near this is no answer.
constexpr size_t AnswerLimit = 64 * 1024;
constexpr size_t MostAskedAtOnce = 32;
// How often a pipe served by another process is tried, in case the host
// serves the name too.
constexpr int ImpostorTries = 3;
// How often the host is asked again after it hung up on a question: as its
// service stops it closes its pipe's instances one after another.
constexpr int HangUpTries = 5;
// A busy host is asked again after this pause.
constexpr DWORD RetryPauseMs = 50;

TStatusReply Failed(const std::string& why)
{
    TStatusReply reply;
    reply.Failure = why;
    return reply;
}

DWORD Remaining(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return deadline > now ? static_cast<DWORD>(deadline - now) : 0;
}

// One read or write, given up at the deadline: the system's error, or
// ERROR_SUCCESS when it is done.
DWORD Transfer(HANDLE pipe, bool write, char* data, DWORD size, DWORD& done, ULONGLONG deadline)
{
    TKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    BOOL started = write ? WriteFile(pipe, data, size, nullptr, &overlapped)
                         : ReadFile(pipe, data, size, nullptr, &overlapped);
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (!started && error != ERROR_IO_PENDING)
        return error;
    if (WaitForSingleObject(event.Get(), Remaining(deadline)) != WAIT_OBJECT_0)
        CancelIo(pipe);
    if (GetOverlappedResult(pipe, &overlapped, &done, TRUE))
        return ERROR_SUCCESS;
    return GetLastError();
}

std::string Text(const json& value)
{
    return value.is_string() ? AnsiFromUtf8(value.get<std::string>()) : std::string();
}

template <class T>
T Number(const json& value)
{
    return value.is_number_unsigned() ? value.get<T>() : T{};
}

TStatusReply ReadAnswer(const json& answer, const std::string& line)
{
    if (!answer.value("version", json()).is_number_integer())
        return Failed("the service host's answer cannot be read");
    if (answer.contains("error"))
        return Failed("the service host refused the question: " + Text(answer["error"]));
    std::optional<TProgramState> state = ProgramStateNamed(answer.value("state", ""));
    if (!state)
        return Failed("the service host's answer names no known state");
    TStatusReply reply;
    reply.Outcome = TStatusOutcome::Answered;
    reply.Answer = line;
    TProgramStatus& status = reply.Status;
    status.Description = Text(answer.value("description", json()));
    status.ServiceID = Number<int>(answer.value("serviceId", json()));
    status.ServiceHost = Text(answer.value("serviceHost", json()));
    status.HostVersion = Text(answer.value("hostVersion", json()));
    status.State = *state;
    status.Pid = Number<unsigned long>(answer.value("pid", json()));
    status.StartedAt = Text(answer.value("startedAt", json()));
    status.UpMs = Number<uint64_t>(answer.value("upMs", json()));
    status.Starts = Number<unsigned>(answer.value("starts", json()));
    if (answer.value("lastExitCode", json()).is_number_unsigned())
        status.LastExitCode = answer["lastExitCode"].get<unsigned long>();
    status.LastExitAt = Text(answer.value("lastExitAt", json()));
    status.NextStartAt = Text(answer.value("nextStartAt", json()));
    status.NextStartInMs = Number<uint64_t>(answer.value("nextStartInMs", json()));
    status.StartFailure = Text(answer.value("startFailure", json()));
    status.Health = Text(answer.value("health", json()));
    status.HealthFailures = Number<unsigned>(answer.value("healthFailures", json()));
    status.HealthRetries = Number<unsigned>(answer.value("healthRetries", json()));
    status.HealthCheckedAt = Text(answer.value("healthCheckedAt", json()));
    status.HealthResult = Text(answer.value("healthResult", json()));
    status.LogFile = Text(answer.value("logFile", json()));
    status.LogFileOpen = answer.value("logFileOpen", false);
    status.LogRaw = answer.value("logRaw", false);
    status.LogFolderMissing = answer.value("logFolderMissing", false);
    status.LogDroppedBytes = Number<uint64_t>(answer.value("logDroppedBytes", json()));
    status.LogDroppedTotalBytes = Number<uint64_t>(answer.value("logDroppedTotalBytes", json()));
    status.LogDeletedBytes = Number<uint64_t>(answer.value("logDeletedBytes", json()));
    // A host from before the figures leaves them out.
    if (answer.value("cpuUserMs", json()).is_number_unsigned()) {
        TProgramResources used;
        used.CpuUserMs = Number<uint64_t>(answer["cpuUserMs"]);
        used.CpuKernelMs = Number<uint64_t>(answer.value("cpuKernelMs", json()));
        used.Processes = Number<unsigned>(answer.value("processes", json()));
        used.PeakProcesses = Number<unsigned>(answer.value("peakProcesses", json()));
        used.WorkingSetBytes = Number<uint64_t>(answer.value("workingSetBytes", json()));
        used.PrivateBytes = Number<uint64_t>(answer.value("privateBytes", json()));
        used.PeakWorkingSetBytes = Number<uint64_t>(answer.value("peakWorkingSetBytes", json()));
        used.PeakPrivateBytes = Number<uint64_t>(answer.value("peakPrivateBytes", json()));
        status.Resources = used;
    }
    return reply;
}

} // namespace

TStatusReply ReadStatusAnswer(const std::string& line)
{
    try {
        return ReadAnswer(json::parse(line), line);
    } catch (const json::exception&) {
        return Failed("the service host's answer cannot be read");
    }
}

namespace {

// A reply that is not an answer.
TStatusReply Outcome(TStatusOutcome outcome, const std::string& why, DWORD serverPid = 0)
{
    TStatusReply reply;
    reply.Outcome = outcome;
    reply.Failure = why;
    reply.ServerPid = serverPid;
    return reply;
}

// One try, given up at the deadline.
TStatusReply AskOnce(const TStatusQuestion& question, ULONGLONG deadline)
{
    const std::string name = StatusPipeName(question.ServiceID);
    TKernelHandle pipe;
    for (;;) {
        // Identification only: whoever holds the name may learn who asks,
        // never act as us.
        pipe = TKernelHandle(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                         nullptr));
        if (pipe)
            break;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return Outcome(TStatusOutcome::NoHost, "");
        if (error == ERROR_ACCESS_DENIED)
            return Outcome(TStatusOutcome::Refused, "only administrators may ask the service host");
        if (error != ERROR_PIPE_BUSY)
            return Outcome(TStatusOutcome::Failed, "cannot reach the service host (error " + std::to_string(error) + ")");
        if (Remaining(deadline) == 0)
            return Outcome(TStatusOutcome::NoAnswer, "the service host is busy");
        WaitNamedPipeA(name.c_str(), Remaining(deadline));
    }
    // Whoever made a pipe of the name first serves it: only the service's
    // own process is asked.
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe.Get(), &server) || server == 0 || server != question.HostPid)
        return Outcome(TStatusOutcome::Impostor, "", server);
    std::string request = StatusRequest;
    DWORD done = 0;
    DWORD error = Transfer(pipe.Get(), true, request.data(), static_cast<DWORD>(request.size()), done, deadline);
    if (error == ERROR_OPERATION_ABORTED)
        return Outcome(TStatusOutcome::NoAnswer, "the service host did not take the question in time", server);
    if (error != ERROR_SUCCESS)
        return Outcome(TStatusOutcome::Failed,
                       "the service host did not take the question (error " + std::to_string(error) + ")", server);
    std::string answer;
    char buffer[1024];
    while (answer.find('\n') == std::string::npos) {
        if (answer.size() > AnswerLimit)
            return Outcome(TStatusOutcome::Failed, "the service host's answer is too long", server);
        error = Transfer(pipe.Get(), false, buffer, sizeof buffer, done, deadline);
        if (error == ERROR_OPERATION_ABORTED)
            return Outcome(TStatusOutcome::NoAnswer, "the service host did not answer in time", server);
        if (error != ERROR_SUCCESS)
            return Outcome(TStatusOutcome::Failed,
                           "the service host hung up without an answer (error " + std::to_string(error) + ")", server);
        answer.append(buffer, done);
    }
    TStatusReply reply = ReadStatusAnswer(answer.substr(0, answer.find('\n')));
    reply.ServerPid = server;
    return reply;
}

} // namespace

TStatusReply AskStatus(const TStatusQuestion& question, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    // Once met, an impostor is what is told unless the host itself answers.
    std::optional<TStatusReply> impostor;
    int hangUps = 0;
    for (int impostors = 0;;) {
        // Each try has at most a try's time, so a busy moment leaves time to
        // try again.
        const ULONGLONG tryDeadline = std::min(deadline, GetTickCount64() + StatusTimeoutMs);
        TStatusReply reply = AskOnce(question, tryDeadline);
        if (reply.Outcome == TStatusOutcome::Impostor)
            impostor = reply;
        else if (impostor && reply.Outcome != TStatusOutcome::Answered)
            reply = *impostor;
        // An impostor may share the name with the host itself (and is then
        // met by chance); a busy host may be free a moment later; the host
        // hangs up on a question it took when it closes its pipe at its
        // service's stop, and asked again it has none.
        const bool again = reply.Outcome == TStatusOutcome::NoAnswer ||
                           (reply.Outcome == TStatusOutcome::Impostor && ++impostors < ImpostorTries) ||
                           (reply.Outcome == TStatusOutcome::Failed && reply.ServerPid != 0 && ++hangUps < HangUpTries);
        if (!again || Remaining(deadline) == 0)
            return reply;
        if (reply.Outcome != TStatusOutcome::Impostor)
            Sleep(std::min<DWORD>(RetryPauseMs, Remaining(deadline)));
    }
}

std::vector<TStatusReply> AskStatuses(const std::vector<TStatusQuestion>& questions, DWORD timeoutMs)
{
    std::vector<TStatusReply> replies(questions.size());
    AtOnce(questions.size(), MostAskedAtOnce, [&](size_t i) { replies[i] = AskStatus(questions[i], timeoutMs); });
    return replies;
}
