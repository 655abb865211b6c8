#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "messaging/MailSlot.h"
#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "tests/support/Errors.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"

namespace {

std::string UniqueAlias(const char* name)
{
    return std::string("qvtest_") + name + "_" + std::to_string(GetCurrentProcessId());
}

std::unique_ptr<TMailSlot> Server(const std::string& alias)
{
    auto slot = std::make_unique<TMailSlot>();
    slot->SetAlias(alias);
    slot->SetMsgSize(50);
    slot->SetActive(true);
    return slot;
}

std::unique_ptr<TMailSlot> Client(const std::string& alias, const std::string& server = "")
{
    auto slot = std::make_unique<TMailSlot>();
    slot->SetMailslot(msClient);
    slot->SetServer(server);
    slot->SetAlias(alias);
    slot->SetActive(true);
    return slot;
}


BOOL WINAPI FailClose(HANDLE)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return s;
}

} // namespace

TEST(MailSlot, DefaultsAndTheServerNormalising)
{
    TMailSlot slot;
    const std::string computer = LocalComputerName();
    ASSERT_FALSE(computer.empty());
    EXPECT_EQ(slot.Mailslot(), msServer);
    EXPECT_EQ(slot.Server(), "\\\\.");
    EXPECT_EQ(slot.Alias(), computer + "_Mailslot");
    EXPECT_EQ(slot.MsgSize(), 0);
    EXPECT_FALSE(slot.Active());
    EXPECT_FALSE(slot.Opened());
    EXPECT_EQ(slot.Handle(), INVALID_HANDLE_VALUE);

    slot.SetMailslot(msClient);
    EXPECT_EQ(slot.Server(), "\\\\" + Upper(computer));
    slot.SetServer("abc");
    EXPECT_EQ(slot.Server(), "\\\\ABC");
    slot.SetServer("*");
    EXPECT_EQ(slot.Server(), "\\\\*");
    slot.SetServer("x\\\\y.z");
    EXPECT_EQ(slot.Server(), "X\\\\Y.Z");
    slot.SetServer("");
    EXPECT_EQ(slot.Server(), "\\\\" + Upper(computer));
    slot.SetAlias("Service7");
    EXPECT_EQ(slot.SlotName(), "\\\\" + Upper(computer) + "\\mailslot\\delphi\\Service7");

    slot.SetMailslot(msServer);
    slot.SetServer("elsewhere");
    EXPECT_EQ(slot.SlotName(), "\\\\.\\mailslot\\delphi\\Service7");
}

TEST(MailSlot, OneServerPerNameAndTheStateRules)
{
    const std::string alias = UniqueAlias("single");
    auto first = Server(alias);
    EXPECT_TRUE(first->Active());
    EXPECT_TRUE(first->Opened());

    TMailSlot second;
    second.SetAlias(alias);
    EXPECT_EQ(ErrorOf([&] { second.SetActive(true); }), "Could not create a mailslot server");
    EXPECT_FALSE(second.Active());
    EXPECT_FALSE(second.Opened());
    EXPECT_EQ(second.Handle(), INVALID_HANDLE_VALUE);

    EXPECT_NO_THROW(first->SetActive(true));
    EXPECT_EQ(ErrorOf([&] { first->Open(); }), "Mailslot is allready opened");
    EXPECT_TRUE(first->Active());

    CloseAndFree(first);
    EXPECT_EQ(first, nullptr);
    EXPECT_NO_THROW(second.SetActive(true));
    EXPECT_TRUE(second.Active());

    second.SetActive(false);
    EXPECT_NO_THROW(second.SetActive(false));
    EXPECT_EQ(ErrorOf([&] { second.Close(); }), "Mailslot has not been opened");
}

TEST(MailSlot, CallbacksSeeTheActiveFlagBeforeItChanges)
{
    std::vector<std::string> events;
    auto slot = std::make_unique<TMailSlot>();
    slot->SetAlias(UniqueAlias("callbacks"));
    slot->OnOpen = [&](TMailSlot* sender) { events.push_back(sender->Active() ? "open:active" : "open:inactive"); };
    slot->OnClose = [&](TMailSlot* sender) { events.push_back(sender->Active() ? "close:active" : "close:inactive"); };
    slot->SetActive(true);

    // Changing the alias of an open slot closes it; the new alias is used
    // from the next activation on.
    const std::string renamed = UniqueAlias("renamed");
    slot->SetAlias(renamed);
    EXPECT_FALSE(slot->Active());
    slot->SetActive(true);
    auto client = Client(renamed);
    EXPECT_TRUE(client->Active());
    CloseAndFree(client);

    CloseAndFree(slot);
    EXPECT_EQ(events, (std::vector<std::string>{"open:inactive", "close:active", "open:inactive", "close:active"}));

    // An inactive instance is only destroyed.
    auto idle = std::make_unique<TMailSlot>();
    idle->OnClose = [&](TMailSlot*) { events.push_back("idle closed"); };
    CloseAndFree(idle);
    EXPECT_EQ(idle, nullptr);
    EXPECT_EQ(events.size(), 4u);
}

TEST(MailSlot, TransfersCheckOpenStateBeforeRole)
{
    char buffer[50] = {};
    for (TMsRole role : {msClient, msServer}) {
        TMailSlot slot;
        slot.SetMailslot(role);
        EXPECT_EQ(ErrorOf([&] { slot.ReadMsg(buffer, 50); }), "Mailslot has not been opened");
        EXPECT_EQ(ErrorOf([&] { slot.WriteMsg(buffer, 50); }), "Mailslot has not been opened");
        EXPECT_EQ(ErrorOf([&] { slot.MsgCount(); }), "Mailslot has not been opened");
    }

    const std::string alias = UniqueAlias("roles");
    auto server = Server(alias);
    auto client = Client(alias);
    EXPECT_EQ(ErrorOf([&] { server->WriteMsg(buffer, 50); }), "Mailslot is not a client");
    EXPECT_EQ(ErrorOf([&] { client->ReadMsg(buffer, 50); }), "Mailslot is not a server");
    EXPECT_EQ(ErrorOf([&] { client->MsgCount(); }), "Mailslot is not a server");

    // A role change keeps the handle open and judges later transfers anew.
    server->SetMailslot(msClient);
    EXPECT_TRUE(server->Active());
    EXPECT_EQ(ErrorOf([&] { server->MsgCount(); }), "Mailslot is not a server");
    EXPECT_EQ(ErrorOf([&] { server->ReadMsg(buffer, 50); }), "Mailslot is not a server");
    server->SetMailslot(msServer);
    EXPECT_EQ(server->MsgCount(), 0);
}

TEST(MailSlot, MessagesArriveInOrderAndAreCounted)
{
    const std::string alias = UniqueAlias("count");
    auto server = Server(alias);
    EXPECT_EQ(server->MsgCount(), 0);
    for (int i = 1; i <= 3; ++i) {
        auto client = Client(alias);
        char message[50] = {};
        std::snprintf(message, sizeof message, "%d|Are you on?", i);
        client->WriteMsg(message, 50);
        CloseAndFree(client);
    }
    // Windows counts every waiting message; Wine says 1 for any number.
    // Either way the count stays above 0 until the slot is drained.
    char buffer[50];
    for (const char* expected : {"1|Are you on?", "2|Are you on?", "3|Are you on?"}) {
        EXPECT_GE(server->MsgCount(), 1);
        server->ReadMsg(buffer, 50);
        EXPECT_STREQ(buffer, expected);
    }
    EXPECT_EQ(server->MsgCount(), 0);
    EXPECT_EQ(ErrorOf([&] { server->ReadMsg(buffer, 50); }), "Could not read msg from mailslot");
}

TEST(MailSlot, AShortMessageLeavesTheRestOfTheBuffer)
{
    const std::string alias = UniqueAlias("short");
    auto server = Server(alias);
    auto client = Client(alias);
    client->WriteMsg(std::string(30, 'a').data(), 30);
    char buffer[50];
    std::memset(buffer, 'z', sizeof buffer);
    server->ReadMsg(buffer, 50);
    EXPECT_EQ(std::string(buffer, 50), std::string(30, 'a') + std::string(20, 'z'));
}

TEST(MailSlot, AClientNamingThisComputerReachesTheLocalServer)
{
    const std::string alias = UniqueAlias("named");
    auto server = Server(alias);
    auto client = Client(alias, LocalComputerName());
    EXPECT_EQ(client->Server(), "\\\\" + Upper(LocalComputerName()));
    client->WriteMsg("hello", 6);
    char buffer[50];
    server->ReadMsg(buffer, 50);
    EXPECT_STREQ(buffer, "hello");

    TMailSlot nobody;
    nobody.SetMailslot(msClient);
    nobody.SetAlias(UniqueAlias("nobody"));
    EXPECT_EQ(ErrorOf([&] { nobody.SetActive(true); }), "Could not create a mailslot client");
    EXPECT_FALSE(nobody.Active());
}

TEST(MailSlot, OverlongNamesAreRefusedNotCut)
{
    TMailSlot slot;
    slot.SetAlias(std::string(250, 'n'));
    EXPECT_EQ(ErrorOf([&] { slot.SetActive(true); }), "Mailslot name is longer than 255 characters");
    EXPECT_FALSE(slot.Active());
    slot.SetMailslot(msClient);
    EXPECT_EQ(ErrorOf([&] { slot.SetActive(true); }), "Mailslot name is longer than 255 characters");
}

TEST(MailSlot, AFailedCloseKeepsTheSlotOpen)
{
    auto slot = Server(UniqueAlias("failclose"));
    const std::string alias = slot->Alias();
    {
        TSeamOverride fail(KernelApi().CloseHandle, &FailClose);
        EXPECT_EQ(ErrorOf([&] { slot->Close(); }), "Could not close mailslot");
        EXPECT_TRUE(slot->Active());
        EXPECT_TRUE(slot->Opened());
        EXPECT_EQ(ErrorOf([&] { slot->SetAlias("other"); }), "Could not close mailslot");
        EXPECT_EQ(slot->Alias(), alias);
        EXPECT_EQ(ErrorOf([&] { CloseAndFree(slot); }), "Could not close mailslot");
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->MsgCount(), 0);
    }
    CloseAndFree(slot);
    EXPECT_EQ(slot, nullptr);
}
