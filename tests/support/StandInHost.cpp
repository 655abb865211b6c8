#include "tests/support/StandInHost.h"

void SendToManager(const std::string& text, DWORD bytes)
{
    char buffer[MessageSize] = {};
    text.copy(buffer, MessageSize);
    auto client = std::make_unique<TMailSlot>();
    client->SetMailslot(msClient);
    client->SetAlias(ManagerSlotAlias);
    client->SetActive(true);
    client->WriteMsg(buffer, bytes);
    CloseAndFree(client);
}

TStandInHost::TAnswers Saying(const std::string& body)
{
    return [body](const std::string& sequence) { return std::vector<std::string>{sequence + "|" + body}; };
}

TStandInHost::TAnswers Silent()
{
    return [](const std::string&) { return std::vector<std::string>{}; };
}

