#include "messaging/Liveness.h"

#include <cstring>
#include <optional>

#include "messaging/Protocol.h"
#include "platform/Seam.h"
#include "toolkit/Error.h"
#include "toolkit/MessagePump.h"
#include "toolkit/WaitCursor.h"

namespace {

constexpr unsigned PollInterval = 500;
constexpr unsigned ReplyTimeout = 5000;
// The time-out's sound: a short low beep.
constexpr DWORD TimeoutBeepHz = 100;
constexpr DWORD TimeoutBeepMs = 200;

} // namespace

TLiveness::TLiveness()
{
    mailSlotCheck_.SetName("MailSlotCheck");
    mailSlotCheck_.SetInterval(PollInterval);
    mailSlotCheck_.OnTimer = [this] { MailSlotCheckTimer(); };
    commTimeout_.SetName("CommTimeout");
    commTimeout_.SetInterval(ReplyTimeout);
    commTimeout_.OnTimer = [this] { CommTimeoutTimer(); };
}

TLiveness::~TLiveness()
{
    mailSlotCheck_.SetEnabled(false);
    commTimeout_.SetEnabled(false);
    // The mailslot's own destructor closes the handle without raising.
    server_.reset();
}

void TLiveness::Start()
{
    activeServices_.clear();
    sequence_ = 0;
    checkMode_ = TCheckMode::SilentStart;
    waiting_ = false;
    timedOut_ = false;
    found_ = false;
    lastReplySequence_.clear();
    shutDown_ = false;
    quitSeen_ = false;
    commTimeout_.SetEnabled(false);
    // Runs also when the server cannot be created: the poll keeps trying.
    mailSlotCheck_.SetEnabled(true);

    server_.reset();
    server_ = std::make_unique<TMailSlot>();
    server_->SetMailslot(msServer);
    server_->SetMsgSize(MessageSize);
    server_->SetActive(false);
    server_->SetAlias(ManagerSlotAlias);
    server_->SetActive(true);
}

void TLiveness::Shutdown()
{
    shutDown_ = true;
    mailSlotCheck_.SetEnabled(false);
    commTimeout_.SetEnabled(false);
    // Taken out first, so that nothing reaches it even when closing fails.
    std::unique_ptr<TMailSlot> server = std::move(server_);
    CloseAndFree(server);
}

void TLiveness::SetActiveService(int serviceID, const std::string& description, int listIndex)
{
    activeServices_[serviceID] = TActiveService{description, listIndex};
}

TActiveService TLiveness::ActiveService(int serviceID) const
{
    auto found = activeServices_.find(serviceID);
    return found == activeServices_.end() ? TActiveService{} : found->second;
}

void TLiveness::SendQuestion(int serviceID)
{
    // The counter wraps like the 32-bit value it is.
    sequence_ = static_cast<int>(static_cast<unsigned>(sequence_) + 1u);
    askedServiceID_ = serviceID;
    const std::string question = QuestionSlot(sequence_);

    // Released on every path: the mailslot's destructor closes its handle.
    auto client = std::make_unique<TMailSlot>();
    client->SetMailslot(msClient);
    client->SetMsgSize(MessageSize);
    client->SetAlias(ServiceSlotAlias(serviceID));
    client->SetActive(true);
    client->WriteMsg(question.data(), MessageSize);
    client->SetActive(false);
    CloseAndFree(client);
}

bool TLiveness::Query(int serviceID)
{
    TWaitCursor hourglass;
    TScopedValue<int> depth(waitDepth_, waitDepth_ + 1);

    waiting_ = true;
    ProcessMessages();
    try {
        SendQuestion(serviceID);
    } catch (const std::exception&) {
        // Nobody to ask: the wait ends by time-out.
    }
    commTimeout_.SetEnabled(true);
    timedOut_ = false;

    // Sleeps until a message or timer is due, or the next mailslot check.
    const DWORD sleep = waitCheckInterval_ ? waitCheckInterval_ : INFINITE;
    while (waiting_ && !timedOut_ && !Ending()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, sleep, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!ProcessMessages())
            break;
        if (waitCheckInterval_ && waiting_ && !timedOut_ && !Ending())
            MailSlotCheckTimer();
    }

    commTimeout_.SetEnabled(false);
    return !timedOut_ && !Ending();
}

bool TLiveness::ProcessMessages()
{
    // A quit is left for the main loop, which ends the program.
    if (!PumpMessages())
        quitSeen_ = true;
    return !quitSeen_;
}

bool TLiveness::Ending() const
{
    return shutDown_ || quitSeen_ || (Terminating && Terminating());
}

void TLiveness::MailSlotCheckTimer()
{
    if (polling_ || reporting_)
        return;
    // The error box belongs to this step too: no tick reads while it is up.
    TScopedValue<bool> running(polling_, true);
    try {
        ReadReplies();
    } catch (const std::exception& error) {
        TimerError(error);
    }
}

void TLiveness::CommTimeoutTimer()
{
    try {
        TimeoutStep();
    } catch (const std::exception& error) {
        TimerError(error);
    }
}

void TLiveness::TimerError(const std::exception& error)
{
    if (OnTimerError)
        OnTimerError(error);
}

void TLiveness::ReadReplies()
{
    if (!server_)
        return;
    if (!server_->Active()) {
        try {
            server_->SetActive(true);
        } catch (const TError&) {
            // Still held elsewhere; try again at the next tick.
        }
        if (!server_->Active())
            return;
    }
    // A box shown for one reply may close the window and with it the server.
    // A flood is read a few at a time, so the window keeps answering.
    for (int read = 0; read < RepliesPerTick && server_ && server_->MsgCount() >= 1; ++read) {
        // Cleared for every message: a short one without terminator must not
        // pick up the tail of the one before.
        char buffer[MessageSize] = {};
        server_->ReadMsg(buffer, MessageSize);
        if (!InterpretReply(std::string(buffer, strnlen(buffer, MessageSize))))
            break;
    }
}

bool TLiveness::InterpretReply(const std::string& text)
{
    const std::optional<TReply> reply = ReadReply(text);
    if (!reply)
        return true;
    if (reply->Sequence == lastReplySequence_)
        return false;
    if (answersMustMatch_ && !AnswersLastQuestion(*reply))
        return true;

    commTimeout_.SetEnabled(false);
    timedOut_ = false;
    waiting_ = false;
    lastReplySequence_ = reply->Sequence;

    if (checkMode_ != TCheckMode::Box && checkMode_ != TCheckMode::Panel && checkMode_ != TCheckMode::Quiet)
        return true;
    if (const std::optional<int> serviceID = ReplyServiceID(reply->Body))
        Report(*serviceID);
    return true;
}

bool TLiveness::AnswersLastQuestion(const TReply& reply) const
{
    if (reply.Sequence != std::to_string(sequence_))
        return false;
    try {
        return ReplyServiceID(reply.Body) == askedServiceID_;
    } catch (const TConvertError&) {
        return false;
    }
}

void TLiveness::Report(int serviceID)
{
    const std::string description = ActiveService(serviceID).Description;
    if (checkMode_ == TCheckMode::Box)
        ShowActiveOnce(description);
    else if (checkMode_ == TCheckMode::Panel && AppendPanelLine)
        AppendPanelLine(" > \"" + description + "\" is active !");
    found_ = true;
}

void TLiveness::TimeoutStep()
{
    if (Beep)
        Beep(TimeoutBeepHz, TimeoutBeepMs);
    timedOut_ = true;
}

void TLiveness::ReplyMessage(int serviceID)
{
    const std::string description = ActiveService(serviceID).Description;
    if (checkMode_ == TCheckMode::Box) {
        ShowActiveOnce(description);
        found_ = true;
    } else if (checkMode_ == TCheckMode::Panel) {
        if (AppendPanelLine)
            AppendPanelLine(" > " + description);
        found_ = true;
    }
}

void TLiveness::ShowActiveOnce(const std::string& description)
{
    // Any process can post the reply message: while one report waits for
    // the user, further ones are dropped instead of stacked.
    if (reporting_ || !ShowActive)
        return;
    TScopedValue<bool> up(reporting_, true);
    ShowActive(description);
}
