#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Kernel.h"
#include "stub/StubLog.h"

// Holds the mailslot "Service<ID>" and answers questions on the manager's
// mailslot, but only while isOn says the program runs. One thread, blocked
// in ReadFile while nothing comes: no CPU is used while idle.
class TLivenessListener {
public:
    TLivenessListener(int serviceID, std::shared_ptr<TStubLog> log, std::function<bool()> isOn);
    ~TLivenessListener();
    TLivenessListener(const TLivenessListener&) = delete;
    TLivenessListener& operator=(const TLivenessListener&) = delete;

    // Creates the mailslot and starts listening; raises a TError with the
    // reason when the mailslot cannot be had (another host holds the same
    // ID).
    void Start();
    // Silent at once: once this returns no reply leaves and isOn is not
    // asked again. Then wakes the thread and waits for it, a bounded time;
    // the mailslot closes when the thread has ended, never under it. Safe
    // from any thread, any number of times.
    void Stop() noexcept;

    // The reply goes to this alias (the manager's); tests point it elsewhere.
    // Set it before Start.
    void SetReplyAlias(const std::string& alias);

private:
    // What the thread uses; it lives until both the listener and the thread
    // let go of it.
    struct TShared;

    std::shared_ptr<TShared> shared_;
    TKernelHandle thread_;
    std::mutex stopLock_;
};
