#pragma once
#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/ServiceSettings.h"
#include "deploy/StubNames.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

// What the host runs, from its entry's section of the catalogue.
struct TStubSettings {
    std::string Description;
    std::string Program;
    std::string Parameters;
    std::string LogFile;
    bool LogToFile = false;
    int ServiceID = 1;
    TServiceSettings Service;
};

// A section the host cannot run from; carries the exit code to report.
class TSettingsError : public TError {
public:
    TSettingsError(const std::string& message, unsigned long exitCode) : TError(message), exitCode_(exitCode) {}
    unsigned long ExitCode() const { return exitCode_; }

private:
    unsigned long exitCode_;
};

// The description of the copy at ownPath: that of the listed entry whose
// "Vantorer" key names this very file (the manager writes it before it runs
// the copy), or, when no entry names it, the description the file name
// stands for. So an older entry whose description holds "!" still runs
// under its own name.
std::string OwnDescription(const TFilePath& ownPath, const std::string& fileName = CatalogueFileName);
std::string OwnDescription(const std::string& ownPath, const std::string& fileName = CatalogueFileName);

// Reads this copy's entry, found as OwnDescription finds it. An entry found
// by the file name alone must still name this copy, so a copy never runs an
// entry it does not belong to. Values read as the manager reads them: a
// ServiceID that is missing or not a number is 1.
TStubSettings LoadSettings(const std::string& ownPath, const std::string& fileName = CatalogueFileName);

// "\"<program>\" <parameters>" (no trailing blank without parameters).
std::string ProgramCommandLine(const std::string& program, const std::string& parameters);
