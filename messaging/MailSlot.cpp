#include "messaging/MailSlot.h"

#include "platform/Kernel.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

constexpr const char* SlotPath = "\\mailslot\\delphi\\";
constexpr const char* ThisComputer = "\\\\.";
// Windows refuses longer names; we refuse them before asking.
constexpr size_t MaxSlotName = 255;

} // namespace

std::string MailslotName(const std::string& server, const std::string& alias)
{
    return server + SlotPath + alias;
}

std::string LocalMailslotName(const std::string& alias)
{
    return MailslotName(ThisComputer, alias);
}

bool WakeMailslot(const std::string& alias)
{
    TKernelHandle slot(CreateFileA(LocalMailslotName(alias).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return slot && WriteFile(slot.Get(), "", 1, &written, nullptr);
}

TMailSlot::TMailSlot(TComponent* owner) : TComponent(owner), alias_(LocalComputerName() + "_Mailslot")
{
    SetServer("");
}

TMailSlot::~TMailSlot()
{
    // Destroying without CloseAndFree must not leak the handle.
    if (opened_)
        KernelApi().CloseHandle(handle_);
}

void TMailSlot::SetActive(bool value)
{
    if (value == opened_)
        return;
    if (value)
        Open();
    else
        Close();
}

void TMailSlot::SetAlias(const std::string& value)
{
    SetActive(false);
    alias_ = value;
}

std::string TMailSlot::Server() const
{
    return role_ == msServer ? ThisComputer : server_;
}

void TMailSlot::SetServer(std::string value)
{
    SetActive(false);
    if (value.empty())
        value = "\\\\" + LocalComputerName();
    if (value.find("\\\\") == std::string::npos)
        value = "\\\\" + value;
    server_ = AsciiUpperCase(value);
}

std::string TMailSlot::SlotName() const
{
    return MailslotName(Server(), alias_);
}

void TMailSlot::Open()
{
    if (opened_)
        throw TError("Mailslot is allready opened");
    if (role_ == msClient)
        CreateClientSlot();
    else
        CreateServerSlot();
    active_ = true;
}

void TMailSlot::Opening(HANDLE handle, const char* failure)
{
    handle_ = handle;
    opened_ = handle != INVALID_HANDLE_VALUE;
    if (!opened_)
        throw TError(failure);
    if (OnOpen)
        OnOpen(this);
}

void TMailSlot::CreateServerSlot()
{
    std::string name = SlotName();
    if (name.size() > MaxSlotName)
        throw TError("Mailslot name is longer than 255 characters");
    Opening(CreateMailslotA(name.c_str(), static_cast<DWORD>(msgSize_), 1, nullptr),
            "Could not create a mailslot server");
}

void TMailSlot::CreateClientSlot()
{
    std::string name = SlotName();
    if (name.size() > MaxSlotName)
        throw TError("Mailslot name is longer than 255 characters");
    // The own computer's name does not resolve everywhere; "." always does.
    if (server_ == "\\\\" + AsciiUpperCase(LocalComputerName()))
        name = LocalMailslotName(alias_);
    Opening(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, INVALID_HANDLE_VALUE),
            "Could not create a mailslot client");
}

void TMailSlot::Close()
{
    if (!opened_)
        throw TError("Mailslot has not been opened");
    opened_ = !KernelApi().CloseHandle(handle_);
    if (opened_)
        throw TError("Could not close mailslot");
    handle_ = INVALID_HANDLE_VALUE;
    if (OnClose)
        OnClose(this);
    active_ = false;
}

void TMailSlot::CheckTransfer(TMsRole role) const
{
    if (!opened_)
        throw TError("Mailslot has not been opened");
    if (role_ != role)
        throw TError(role == msServer ? "Mailslot is not a server" : "Mailslot is not a client");
}

void TMailSlot::ReadMsg(void* buffer, DWORD count)
{
    CheckTransfer(msServer);
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, count, &read, nullptr))
        throw TError("Could not read msg from mailslot");
}

void TMailSlot::WriteMsg(const void* buffer, DWORD count)
{
    CheckTransfer(msClient);
    DWORD written = 0;
    if (!WriteFile(handle_, buffer, count, &written, nullptr))
        throw TError("Could not write msg to mailslot");
}

int TMailSlot::MsgCount()
{
    CheckTransfer(msServer);
    DWORD maxSize = 0, nextSize = 0, count = 0, timeout = 0;
    if (!GetMailslotInfo(handle_, &maxSize, &nextSize, &count, &timeout))
        return 0;
    return static_cast<int>(count);
}

void CloseAndFree(std::unique_ptr<TMailSlot>& slot)
{
    if (!slot)
        return;
    if (slot->Opened())
        slot->Close();
    slot.reset();
}
