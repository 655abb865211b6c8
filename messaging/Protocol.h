#pragma once
#include <string>

// Names and wire format shared by the manager and the service host.
//
// manager -> host, to "Service<ID>":  "<sequence>|Are you on?"
// host -> manager, to "Vantorer":     "<sequence>|I am on:<ID>"
// Each message is a zero-terminated text in a 50-byte slot.

inline constexpr const char* ManagerSlotAlias = "Vantorer";
// The manager's window holds a mutex of this name while it runs. The
// command line holds the manager's mailslot only for its questions, so a
// window that finds the mailslot taken but no other window is the only one.
inline constexpr const char* ManagerWindowMutex = "Quorvane.ManagerWindow";
inline constexpr int MessageSize = 50;
inline constexpr const char* QuestionBody = "Are you on?";
inline constexpr const char* ReplyBody = "I am on:";

inline std::string ServiceSlotAlias(int serviceID)
{
    return "Service" + std::to_string(serviceID);
}

inline std::string QuestionText(int sequence)
{
    return std::to_string(sequence) + "|" + QuestionBody;
}

inline std::string ReplyText(const std::string& sequence, int serviceID)
{
    return sequence + "|" + ReplyBody + std::to_string(serviceID);
}

// Registered window messages; the manager accepts "WM_SRVYesWhatDoYouWant"
// with a service ID as its first parameter as a second way to answer.
inline constexpr const char* DoYouKnowMeMessage = "WM_SRVDoYouKnowMe";
inline constexpr const char* YesWhatDoYouWantMessage = "WM_SRVYesWhatDoYouWant";
inline constexpr const char* StopExecutionMessage = "WM_SRVStopExecution";
