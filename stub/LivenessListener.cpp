#include "stub/LivenessListener.h"

#include <vector>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "stub/Guard.h"
#include "toolkit/Error.h"

namespace {

// Mailslot messages on one computer stay well below this; a larger one is
// read in full (and refused) so it can never block the slot.
constexpr size_t ReadBufferSize = 64 * 1024;
// How long a stop waits for the thread to end, and again once its read is
// cancelled.
constexpr DWORD ThreadEndMs = 2000;
constexpr DWORD CancelledEndMs = 1000;
// The most of an ignored message the log shows.
constexpr size_t ShownInput = 60;

// Bad input reaches the log shortened and without control characters.
std::string Printable(const char* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count && text.size() < ShownInput; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0)
            break;
        text += c >= 32 && c != 127 ? static_cast<char>(c) : '?';
    }
    return text;
}

} // namespace

struct TLivenessListener::TShared {
    int ServiceID;
    std::shared_ptr<TStubLog> Log;
    std::function<bool()> IsOn;
    std::string ReplyAlias = ManagerSlotAlias;
    TKernelHandle Slot;
    std::atomic<bool> Stopping{false};
    // Held while a question is answered, so Stop can wait out a reply on its
    // way and no reply follows it.
    std::mutex AnswerLock;
    bool Silent = false;

    std::string SlotName() const { return LocalMailslotName(ServiceSlotAlias(ServiceID)); }
    void Listen();
    void Answer(const char* bytes, size_t count);
};

TLivenessListener::TLivenessListener(int serviceID, std::shared_ptr<TStubLog> log, std::function<bool()> isOn)
    : shared_(std::make_shared<TShared>())
{
    shared_->ServiceID = serviceID;
    shared_->Log = std::move(log);
    shared_->IsOn = std::move(isOn);
}

TLivenessListener::~TLivenessListener()
{
    Stop();
}

void TLivenessListener::SetReplyAlias(const std::string& alias)
{
    shared_->ReplyAlias = alias;
}

void TLivenessListener::Start()
{
    std::string name = shared_->SlotName();
    shared_->Slot = TKernelHandle(CreateMailslotA(name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr));
    if (!shared_->Slot) {
        const DWORD error = GetLastError();
        throw TError("cannot create the mailslot " + name + " (error " + std::to_string(error) + ")");
    }
    thread_ = StartSharedThread<TShared>("the liveness listener", shared_, [](TShared& state) { state.Listen(); });
    if (!thread_) {
        const DWORD error = GetLastError();
        shared_->Slot.Close();
        throw TError("cannot start the liveness thread (error " + std::to_string(error) + ")");
    }
}

void TLivenessListener::Stop() noexcept
{
    std::lock_guard<std::mutex> once(stopLock_);
    if (!shared_)
        return;
    {
        std::lock_guard<std::mutex> hold(shared_->AnswerLock);
        shared_->Silent = true;
    }
    if (thread_) {
        shared_->Stopping = true;
        // A message to ourselves ends the blocking read.
        WakeMailslot(ServiceSlotAlias(shared_->ServiceID));
        if (WaitForSingleObject(thread_.Get(), ThreadEndMs) != WAIT_OBJECT_0) {
            CancelSynchronousIo(thread_.Get());
            WaitForSingleObject(thread_.Get(), CancelledEndMs);
        }
        thread_.Close();
        try {
            shared_->Log->Event(TLogKind::Information, "liveness questions are no longer answered");
        } catch (...) {
            // Stopping goes on without the line.
        }
    }
    // The mailslot closes with the last holder: here, or when a thread that
    // would not end finally does.
    shared_.reset();
}

void TLivenessListener::TShared::Listen()
{
    std::vector<char> buffer(ReadBufferSize);
    while (!Stopping) {
        DWORD read = 0;
        if (ReadFile(Slot.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            if (Stopping)
                break;
            Answer(buffer.data(), read);
            continue;
        }
        DWORD error = GetLastError();
        if (Stopping)
            break;
        DWORD next = 0;
        if (error == ERROR_INSUFFICIENT_BUFFER &&
            GetMailslotInfo(Slot.Get(), nullptr, &next, nullptr, nullptr) && next != MAILSLOT_NO_MESSAGE &&
            next > buffer.size()) {
            // Take the oversized message out of the way; it is no question.
            std::vector<char> large(next);
            if (ReadFile(Slot.Get(), large.data(), next, &read, nullptr)) {
                Log->Detail("ignored a message of " + std::to_string(read) + " bytes on the liveness mailslot");
                continue;
            }
            error = GetLastError();
        }
        // Anything else would fail again at once: give up listening rather
        // than spin; the program itself keeps running.
        Log->Event(TLogKind::Warning,
                   "stopped answering liveness questions: read failed (error " + std::to_string(error) + ")");
        return;
    }
}

void TLivenessListener::TShared::Answer(const char* bytes, size_t count)
{
    std::optional<std::string> sequence = QuestionSequence(bytes, count, ServiceID);
    if (!sequence) {
        Log->Detail("ignored a message on the liveness mailslot: \"" + Printable(bytes, count) + "\"");
        return;
    }
    std::lock_guard<std::mutex> hold(AnswerLock);
    if (Silent)
        return;
    if (!IsOn()) {
        Log->Detail("question " + *sequence + " not answered: the program is not running");
        return;
    }
    std::string reply = ReplySlot(*sequence, ServiceID);
    try {
        TMailSlot manager;
        manager.SetMailslot(msClient);
        manager.SetMsgSize(MessageSize);
        manager.SetAlias(ReplyAlias);
        manager.SetActive(true);
        manager.WriteMsg(reply.data(), MessageSize);
        manager.SetActive(false);
    } catch (const TError& error) {
        Log->Detail("could not answer question " + *sequence + ": " + error.Message());
    }
}
