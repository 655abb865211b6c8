#include "toolkit/Prompter.h"

namespace {

TPrompter* installed = nullptr;

} // namespace

// Provided by the window toolkit; the service host links its own.
TPrompter& DefaultPrompter();

TPrompter& Prompter()
{
    return installed ? *installed : DefaultPrompter();
}

void SetPrompter(TPrompter* prompter)
{
    installed = prompter;
}

std::string StandardErrorText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}
