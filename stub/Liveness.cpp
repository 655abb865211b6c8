#include "stub/Liveness.h"

#include <cstring>
#include <vector>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
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

TLivenessListener::TLivenessListener(int serviceID, std::shared_ptr<TStubLog> log)
    : serviceID_(serviceID), log_(std::move(log)), replyAlias_(ManagerSlotAlias)
{
}

TLivenessListener::~TLivenessListener()
{
    Stop();
}

bool TLivenessListener::Start(std::string& reason)
{
    std::string name = LocalSlotPath + ServiceSlotAlias(serviceID_);
    slot_ = CreateMailslotA(name.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
    if (slot_ == INVALID_HANDLE_VALUE) {
        reason = "cannot create the mailslot " + name + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    thread_ = CreateThread(nullptr, 64 * 1024, ThreadMain, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread_) {
        reason = "cannot start the liveness thread (error " + std::to_string(GetLastError()) + ")";
        CloseHandle(slot_);
        slot_ = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

void TLivenessListener::Stop()
{
    if (thread_) {
        stopping_ = true;
        // A message to ourselves ends the blocking read.
        std::string name = LocalSlotPath + ServiceSlotAlias(serviceID_);
        HANDLE self = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (self != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(self, "", 1, &written, nullptr);
            CloseHandle(self);
        }
        if (WaitForSingleObject(thread_, 2000) != WAIT_OBJECT_0) {
            CancelSynchronousIo(thread_);
            WaitForSingleObject(thread_, 1000);
        }
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (slot_ != INVALID_HANDLE_VALUE) {
        CloseHandle(slot_);
        slot_ = INVALID_HANDLE_VALUE;
    }
}

DWORD WINAPI TLivenessListener::ThreadMain(void* self)
{
    static_cast<TLivenessListener*>(self)->Listen();
    return 0;
}

void TLivenessListener::Listen()
{
    std::vector<char> buffer(ReadBufferSize);
    while (!stopping_) {
        DWORD read = 0;
        if (ReadFile(slot_, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            if (stopping_)
                break;
            Answer(buffer.data(), read);
            continue;
        }
        DWORD error = GetLastError();
        if (stopping_)
            break;
        DWORD next = 0;
        if (error == ERROR_INSUFFICIENT_BUFFER &&
            GetMailslotInfo(slot_, nullptr, &next, nullptr, nullptr) && next != MAILSLOT_NO_MESSAGE &&
            next > buffer.size()) {
            // Take the oversized message out of the way; it is no question.
            std::vector<char> large(next);
            if (ReadFile(slot_, large.data(), next, &read, nullptr)) {
                log_->Detail("ignored a message of " + std::to_string(read) + " bytes on the liveness mailslot");
                continue;
            }
            error = GetLastError();
        }
        // Anything else would fail again at once: give up listening rather
        // than spin; the program itself keeps running.
        log_->Event(TLogKind::Warning,
                    "stopped answering liveness questions: read failed (error " + std::to_string(error) + ")");
        return;
    }
}

void TLivenessListener::Answer(const char* bytes, size_t count)
{
    std::optional<std::string> sequence = QuestionSequence(bytes, count, serviceID_);
    if (!sequence) {
        log_->Detail("ignored a message on the liveness mailslot: \"" + Printable(bytes, count) + "\"");
        return;
    }
    std::string reply = ReplySlot(*sequence, serviceID_);
    try {
        TMailSlot manager;
        manager.SetMailslot(msClient);
        manager.SetMsgSize(MessageSize);
        manager.SetAlias(replyAlias_);
        manager.SetActive(true);
        manager.WriteMsg(reply.data(), MessageSize);
        manager.SetActive(false);
    } catch (const TError& error) {
        log_->Detail("could not answer question " + *sequence + ": " + error.Message());
    }
}
