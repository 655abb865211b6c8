#include "status/OlderHosts.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "toolkit/Error.h"

namespace {

// How often the questioner looks for answers.
constexpr DWORD ReplyPollMs = 5;

bool WindowOpen()
{
    return TKernelHandle(OpenMutexA(SYNCHRONIZE, FALSE, ManagerWindowMutex)) ? true : false;
}

} // namespace

TOlderHosts::TOlderHosts()
{
    liveness_.Beep = [](DWORD, DWORD) { return TRUE; };
}

TOlderHosts::~TOlderHosts()
{
    liveness_.Shutdown();
}

TRefusal TOlderHosts::Take()
{
    // The window holds its mutex from before it takes the mailslot until
    // after it lets it go: without it, the holder is another check.
    if (!WindowOpen()) {
        try {
            liveness_.Start();
            liveness_.SetCheckMode(TCheckMode::Quiet);
            liveness_.SetAnswersMustMatch(true);
            return {};
        } catch (const TError&) {
            liveness_.Shutdown();
        }
    }
    if (WindowOpen())
        return TRefusal("The Quorvane window is open and holds the mailslot its services answer on: "
                        "close it, or ask from the window");
    return TRefusal("Another qv check is asking the services right now and holds the mailslot they answer on: "
                    "try again when it has finished");
}

std::set<int> TOlderHosts::ActiveAmong(const std::vector<int>& serviceIDs)
{
    std::map<std::string, int> asked;
    for (int serviceID : serviceIDs) {
        try {
            liveness_.SendQuestion(serviceID);
            asked[std::to_string(liveness_.Sequence())] = serviceID;
        } catch (const TError&) {
            // Nobody to ask: no answer.
        }
    }
    std::set<int> active;
    TMailSlot& replies = *liveness_.ServerSlot();
    const ULONGLONG deadline = GetTickCount64() + liveness_.CommTimeout().Interval();
    while (active.size() < asked.size() && GetTickCount64() < deadline) {
        if (replies.MsgCount() == 0) {
            Sleep(ReplyPollMs);
            continue;
        }
        char buffer[MessageSize] = {};
        replies.ReadMsg(buffer, MessageSize);
        const std::optional<TReply> reply = ReadReply(std::string(buffer, strnlen(buffer, MessageSize)));
        const auto question = reply ? asked.find(reply->Sequence) : asked.end();
        try {
            if (question != asked.end() && ReplyServiceID(reply->Body) == question->second)
                active.insert(question->second);
        } catch (const TConvertError&) {
            // Not an answer of ours.
        }
    }
    return active;
}
