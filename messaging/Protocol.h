#pragma once
#include <cstddef>
#include <optional>
#include <string>

#include "toolkit/Error.h"

// Names and wire format shared by the manager and the service host.
//
// manager -> host, to "Service<ID>":  "<sequence>|Are you on?"
// host -> manager, to "Vantorer":     "<sequence>|I am on:<ID>"
// Each message is a zero-terminated text in a 50-byte slot.

inline constexpr const char* ManagerSlotAlias = "Vantorer";
// The manager's window holds a mutex of this name while it runs. The
// command line holds the manager's mailslot only for its questions, so a
// window that finds the mailslot taken but no other window is the only one.
inline constexpr const char* ManagerWindowMutex = "Global\\Quorvane.ManagerWindow";
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

// The slot that asks: QuestionText and zeros after it, MessageSize bytes.
std::string QuestionSlot(int sequence);

// The host's reading of a question: the sequence field of
// "<sequence>|Are you on?" taken from the raw bytes of one mailslot message,
// or nothing when the message is not such a question. The text ends at the
// first zero byte; a message longer than the slot is refused, and so is a
// sequence too long for the reply to fit in one slot.
std::optional<std::string> QuestionSequence(const char* bytes, size_t count, int serviceID);

// The slot that answers a question: "<sequence>|I am on:<ID>" and zeros
// after it, MessageSize bytes.
std::string ReplySlot(const std::string& sequence, int serviceID);

// A reply as the manager reads it: the text before the first "|" (empty
// without one) and the text after it (all of it without one), both without
// blanks at the ends.
struct TReply {
    std::string Sequence;
    std::string Body;
};
// Nothing for a message the manager passes over: empty, or "-1".
std::optional<TReply> ReadReply(const std::string& text);

// Raised when a reply's service ID is not an integer.
class TConvertError : public TError {
public:
    using TError::TError;
};
// The service ID of a reply body "I am on:<ID>" (the exact words; blanks
// around the decimal ID do not count), or nothing when the body says other
// words. Raises TConvertError "'<ID>' is not a valid integer value".
std::optional<int> ReplyServiceID(const std::string& body);

inline std::string ReplyText(const std::string& sequence, int serviceID)
{
    return sequence + "|" + ReplyBody + std::to_string(serviceID);
}

// Registered window messages; the manager accepts "WM_SRVYesWhatDoYouWant"
// with a service ID as its first parameter as a second way to answer.
inline constexpr const char* DoYouKnowMeMessage = "WM_SRVDoYouKnowMe";
inline constexpr const char* YesWhatDoYouWantMessage = "WM_SRVYesWhatDoYouWant";
inline constexpr const char* StopExecutionMessage = "WM_SRVStopExecution";
