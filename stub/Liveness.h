#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "stub/StubLog.h"

// The sequence field of a liveness question "<sequence>|Are you on?" taken
// from the raw bytes of one mailslot message, or nothing when the message
// is not such a question. The text ends at the first zero byte; a message
// longer than the 50-byte slot is refused, and so is a sequence too long
// for the reply to fit in one slot.
std::optional<std::string> QuestionSequence(const char* bytes, size_t count, int serviceID);

// The 50-byte slot that answers a question: "<sequence>|I am on:<ID>" and
// zeros after it.
std::string ReplySlot(const std::string& sequence, int serviceID);

// Holds the mailslot "Service<ID>" and answers every question on the
// manager's mailslot. One thread, blocked in ReadFile while nothing comes:
// no CPU is used while idle.
class TLivenessListener {
public:
    TLivenessListener(int serviceID, std::shared_ptr<TStubLog> log);
    ~TLivenessListener();
    TLivenessListener(const TLivenessListener&) = delete;
    TLivenessListener& operator=(const TLivenessListener&) = delete;

    // Creates the mailslot and starts listening; false with the reason when
    // the mailslot cannot be had (another host holds the same ID).
    bool Start(std::string& reason);
    // Wakes the thread and waits for it, a bounded time.
    void Stop();

    // The reply goes to this alias (the manager's); tests point it elsewhere.
    void SetReplyAlias(const std::string& alias) { replyAlias_ = alias; }

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Listen();
    void Answer(const char* bytes, size_t count);

    int serviceID_;
    std::shared_ptr<TStubLog> log_;
    std::string replyAlias_;
    HANDLE slot_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stopping_{false};
};
