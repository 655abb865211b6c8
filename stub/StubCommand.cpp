#include "stub/StubCommand.h"

TStubCommand ParseCommand(int argc, const char* const* argv)
{
    if (argc <= 1)
        return TStubCommand::Service;
    if (argc > 2)
        return TStubCommand::Usage;
    std::string option = argv[1];
    if (option.size() != 2 || (option[0] != '-' && option[0] != '/'))
        return TStubCommand::Usage;
    switch (option[1]) {
    case 'i':
    case 'I':
        return TStubCommand::Install;
    case 'u':
    case 'U':
        return TStubCommand::Uninstall;
    default:
        return TStubCommand::Usage;
    }
}

std::string UsageText(const std::string& ownPath, const std::string& description)
{
    std::string name = ownPath.substr(ownPath.find_last_of("\\/") + 1);
    return "Vantorer, the service host of Korvalith's Quorvane.\r\r"
           "This copy runs the program of the catalogue entry \"" +
           description +
           "\" as a Windows service. The Quorvane manager installs and removes it; "
           "the Service Control Manager starts it.\r\r"
           "Usage:\r    " +
           name + " -i\tregister the service\r    " + name + " -u\tstop and remove the service";
}
