#pragma once
#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "toolkit/Timer.h"

// What the user reads when the service described answered.
inline std::string ActiveText(const std::string& description)
{
    return "The service, \"" + description + "\" IS currently active !";
}

// The service a reply is reported under: written by the command that asks.
struct TActiveService {
    std::string Description;
    int ListIndex = 0;
};

// How the answers to liveness questions are reported: the values are those
// the manager has always kept in its one byte.
enum class TCheckMode : unsigned char {
    // Before any command set one: an answer is taken, nothing is shown.
    SilentStart = 0,
    // Check selected: an answer shows the active box.
    Box = 1,
    // Check all: an answer adds the service's line to the details panel.
    Panel = 5,
    // The uninstall guard and qv: nothing is shown.
    Quiet = 7,
};

// Asks running service hosts whether they are alive and interprets their
// replies on the manager's own mailslot. Everything runs on the main
// window's thread; the window owns one instance and wires it.
class TLiveness {
public:
    TLiveness();
    // Disposes of the server if still there; the timers stop with it.
    ~TLiveness();

    // Empties the table and the counters, starts the poll timer and creates
    // the server mailslot "Vantorer". Raises the mailslot's error when the
    // server cannot be created (another instance holds it); the poll then
    // keeps trying to activate it on every tick.
    void Start();
    // Disposes of the server. From then on nothing touches it, the poll does
    // nothing and a waiting Query ends with false.
    void Shutdown();

    // Any service ID; nothing outside the written entries is kept.
    void SetActiveService(int serviceID, const std::string& description, int listIndex);
    // An empty entry when never written.
    TActiveService ActiveService(int serviceID) const;

    TCheckMode CheckMode() const { return checkMode_; }
    void SetCheckMode(TCheckMode mode) { checkMode_ = mode; }
    bool Found() const { return found_; }
    void SetFound(bool found) { found_ = found; }
    int Sequence() const { return sequence_; }
    const std::string& LastReplySequence() const { return lastReplySequence_; }
    // True while a Query waits (the window keeps the hourglass meanwhile).
    bool Waiting() const { return waitDepth_ > 0; }

    TTimer& MailSlotCheck() { return mailSlotCheck_; }
    TTimer& CommTimeout() { return commTimeout_; }
    // nullptr before Start and after Shutdown.
    TMailSlot* ServerSlot() { return server_.get(); }

    // Asks the host with that service ID and waits for a reply or the
    // time-out. The wait sleeps until a message, a timer or the next mailslot
    // check is due; true when a reply with a new sequence arrived.
    bool Query(int serviceID);
    // Sends "<sequence>|Are you on?" to "Service<ID>" through a one-shot
    // client; its errors go to the caller.
    void SendQuestion(int serviceID);
    // The reply time-out: a short low beep, then the wait ends.
    void TimeoutStep();
    // A host answering by window message instead of the mailslot. Dropped
    // while a report is up, so a flood never stacks reports.
    void ReplyMessage(int serviceID);

    // The most replies one tick of the poll reads; the rest wait for the next.
    static constexpr int RepliesPerTick = 16;

    // Milliseconds between mailslot checks while a Query waits; 0 leaves the
    // replies to the poll timer alone.
    // Only the answer to the question just asked (its sequence, the service
    // ID asked) ends a wait. The window lets any new reply end it; the
    // command line, asking one service after another, must not take a late
    // answer of the one before for the next one's.
    void SetAnswersMustMatch(bool value) { answersMustMatch_ = value; }

    unsigned WaitCheckInterval() const { return waitCheckInterval_; }
    void SetWaitCheckInterval(unsigned value) { waitCheckInterval_ = value; }

    // Set by the window. ShowActive tells the user that a service answered
    // (check mode 1); it may wait for the user, and never runs twice at once.
    std::function<void(const std::string& description)> ShowActive;
    std::function<void(const std::string&)> AppendPanelLine;
    std::function<bool()> Terminating;
    // Errors of a timer tick end here instead of crossing the Windows
    // callback; the window shows them.
    std::function<void(const std::exception&)> OnTimerError;

    // The time-out's sound, replaceable so tests stay quiet and can count.
    std::function<BOOL(DWORD frequency, DWORD duration)> Beep = ::Beep;

private:
    // The poll's tick: reads the replies waiting on the server mailslot, at
    // most RepliesPerTick of them, and reports them. Does nothing while an
    // earlier tick is still running or a report is up (a box waits for the
    // user). A fault (a TConvertError for a non-numeric ID) goes to
    // OnTimerError while the tick still holds the poll.
    void MailSlotCheckTimer();
    void CommTimeoutTimer();
    void ReadReplies();
    // False when the reply repeats the last sequence: reading stops there.
    bool InterpretReply(const std::string& text);
    void Report(int serviceID);
    bool AnswersLastQuestion(const TReply& reply) const;
    void ShowActiveOnce(const std::string& description);
    void TimerError(const std::exception& error);
    // Runs pending messages; false once the thread was told to quit.
    bool ProcessMessages();
    bool Ending() const;

    int sequence_ = 0;
    int askedServiceID_ = 0;
    bool answersMustMatch_ = false;
    std::string lastReplySequence_;
    std::map<int, TActiveService> activeServices_;
    TCheckMode checkMode_ = TCheckMode::SilentStart;
    bool waiting_ = false;
    bool timedOut_ = false;
    bool found_ = false;
    bool polling_ = false;
    bool reporting_ = false;
    bool shutDown_ = false;
    bool quitSeen_ = false;
    int waitDepth_ = 0;
    unsigned waitCheckInterval_ = 5;

    TTimer mailSlotCheck_;
    TTimer commTimeout_;
    std::unique_ptr<TMailSlot> server_;
};
