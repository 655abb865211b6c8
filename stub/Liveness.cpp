#include "stub/Liveness.h"

#include <cstring>
#include <vector>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "stub/Guard.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

constexpr const char* LocalSlotPath = "\\\\.\\mailslot\\delphi\\";
// Mailslot messages on one computer stay well below this; a larger one is
// read in full (and refused) so it can never block the slot.
constexpr size_t ReadBufferSize = 64 * 1024;


// Bad input reaches the log shortened and without control characters.
std::string Printable(const char* bytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count && text.size() < 60; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0)
            break;
        text += c >= 32 && c != 127 ? static_cast<char>(c) : '?';
    }
    return text;
}

} // namespace

std::optional<std::string> QuestionSequence(const char* bytes, size_t count, int serviceID)
{
    if (count > static_cast<size_t>(MessageSize))
        return std::nullopt;
    const void* zero = std::memchr(bytes, 0, count);
    std::string text(bytes, zero ? static_cast<const char*>(zero) - bytes : count);
    size_t bar = text.find('|');
    if (bar == std::string::npos)
        return std::nullopt;
    std::string sequence = Trim(text.substr(0, bar));
    if (Trim(text.substr(bar + 1)) != QuestionBody)
        return std::nullopt;
    size_t digits = sequence.size() > 0 && sequence[0] == '-' ? 1 : 0;
    if (digits == sequence.size())
        return std::nullopt;
    for (size_t i = digits; i < sequence.size(); ++i)
        if (sequence[i] < '0' || sequence[i] > '9')
            return std::nullopt;
    if (ReplyText(sequence, serviceID).size() >= static_cast<size_t>(MessageSize))
        return std::nullopt;
    return sequence;
}

std::string ReplySlot(const std::string& sequence, int serviceID)
{
    std::string slot = ReplyText(sequence, serviceID);
    slot.resize(MessageSize, '\0');
    return slot;
}

struct TLivenessListener::TShared {
    int ServiceID;
    std::shared_ptr<TStubLog> Log;
    std::function<bool()> IsOn;
    std::string ReplyAlias = ManagerSlotAlias;
    THandle Slot;
    std::atomic<bool> Stopping{false};
    // Held while a question is answered, so Stop can wait out a reply on its
    // way and no reply follows it.
    std::mutex AnswerLock;
    bool Silent = false;

    std::string SlotName() const { return LocalSlotPath + ServiceSlotAlias(ServiceID); }
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

bool TLivenessListener::Start(std::string& reason)
{
    std::string name = shared_->SlotName();
    shared_->Slot = THandle(CreateMailslotA(name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr));
    if (!shared_->Slot) {
        reason = "cannot create the mailslot " + name + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    auto* forThread = new std::shared_ptr<TShared>(shared_);
    thread_ = THandle(
        CreateThread(nullptr, 64 * 1024, ThreadMain, forThread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread_) {
        reason = "cannot start the liveness thread (error " + std::to_string(GetLastError()) + ")";
        delete forThread;
        shared_->Slot.Close();
        return false;
    }
    return true;
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
        THandle self(CreateFileA(shared_->SlotName().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (self)
            WriteFile(self.Get(), "", 1, &written, nullptr);
        if (WaitForSingleObject(thread_.Get(), 2000) != WAIT_OBJECT_0) {
            CancelSynchronousIo(thread_.Get());
            WaitForSingleObject(thread_.Get(), 1000);
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

DWORD WINAPI TLivenessListener::ThreadMain(void* parameter)
{
    std::unique_ptr<std::shared_ptr<TShared>> shared(static_cast<std::shared_ptr<TShared>*>(parameter));
    TShared& state = **shared;
    RunGuarded("the liveness listener", *state.Log, [&] { state.Listen(); });
    return 0;
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
