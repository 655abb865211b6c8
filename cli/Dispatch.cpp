#include "cli/Dispatch.h"

#include <string>

#include "cli/Apply.h"
#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"

namespace {

TExitCode Help(const TCliRequest&)
{
    Say(HelpText());
    return ExitSuccess;
}

TExitCode Version(const TCliRequest&)
{
    Say(std::string("qv ") + QUORVANE_VERSION);
    return ExitSuccess;
}

TCommand CommandOf(TCliCommand command)
{
    switch (command) {
    case TCliCommand::Help: return Help;
    case TCliCommand::Version: return Version;
    case TCliCommand::List: return List;
    case TCliCommand::Show: return Show;
    case TCliCommand::Status: return Status;
    case TCliCommand::Add: return Add;
    case TCliCommand::Edit: return Edit;
    case TCliCommand::Set: return Set;
    case TCliCommand::Remove: return Remove;
    case TCliCommand::Install: return Install;
    case TCliCommand::Uninstall: return Uninstall;
    case TCliCommand::Start: return Start;
    case TCliCommand::Stop: return Stop;
    case TCliCommand::Check: return Check;
    case TCliCommand::Export: return Export;
    case TCliCommand::Apply: return Apply;
    case TCliCommand::Metrics: return Metrics;
    }
    return Help;
}

} // namespace

TExitCode RunRequest(const TCliRequest& request)
{
    const TStepRun run = Carry(CommandOf(request.Command), request);
    if (run.Failure)
        WriteText(stderr, run.Failure.Reason() + "\n");
    return run.Code;
}
