#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "toolkit/Component.h"

enum TMsRole : unsigned char { msClient, msServer };

class TMailSlot;
using TNotifyEvent = std::function<void(TMailSlot* sender)>;

// One end of a mailslot channel. A server owns a mailslot on this computer
// and reads the messages that arrive; a client opens a mailslot by name and
// writes messages into it. Every failure raises a TError with a fixed text.
class TMailSlot : public TComponent {
public:
    explicit TMailSlot(TComponent* owner = nullptr);
    ~TMailSlot() override;

    bool Active() const { return active_; }
    void SetActive(bool value);

    const std::string& Alias() const { return alias_; }
    void SetAlias(const std::string& value);

    // The computer part of a client's name. A server always uses ".".
    std::string Server() const;
    void SetServer(std::string value);

    TMsRole Mailslot() const { return role_; }
    void SetMailslot(TMsRole value) { role_ = value; }

    int MsgSize() const { return msgSize_; }
    void SetMsgSize(int value) { msgSize_ = value; }

    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;

    HANDLE Handle() const { return handle_; }
    bool Opened() const { return opened_; }

    // The full name: server part, "\mailslot\delphi\", alias.
    std::string SlotName() const;

    void Open();
    void Close();
    // Reads the oldest waiting message into the start of buffer; bytes past
    // a shorter message keep what they held.
    void ReadMsg(void* buffer, DWORD count);
    void WriteMsg(const void* buffer, DWORD count);
    // Messages waiting in a server; 0 when Windows cannot tell.
    int MsgCount();

private:
    void CreateServerSlot();
    void CreateClientSlot();
    void Opening(HANDLE handle, const char* failure);
    // Open first, then in the given role; raises the fitting error.
    void CheckTransfer(TMsRole role) const;

    bool opened_ = false;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool active_ = false;
    std::string alias_;
    std::string server_;
    TMsRole role_ = msServer;
    int msgSize_ = 0;
};

// Closes the instance when it is open, then destroys it. When closing fails
// the instance is kept and the error goes to the caller.
void CloseAndFree(std::unique_ptr<TMailSlot>& slot);

// A mailslot's full name: the server part ("\\." for this computer, or
// "\\" and a computer's name), "\mailslot\delphi\", the alias.
std::string MailslotName(const std::string& server, const std::string& alias);
// The mailslot of that alias on this computer.
std::string LocalMailslotName(const std::string& alias);
// Writes one empty message into the mailslot of that alias on this
// computer, so that a reader blocked on it wakes; false when nobody holds it.
bool WakeMailslot(const std::string& alias);
