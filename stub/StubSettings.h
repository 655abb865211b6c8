#pragma once
#include <string>

#include "catalogue/Catalogue.h"
#include "toolkit/Error.h"

// What the host runs, from its entry's section of the catalogue.
struct TStubSettings {
    std::string Description;
    std::string Program;
    std::string Parameters;
    std::string LogFile;
    bool LogToFile = false;
    int ServiceID = 1;
};

// Service-specific exit codes the Service Control Manager reports when the
// host refuses to run.
inline constexpr unsigned long NoSectionExitCode = 1;
inline constexpr unsigned long NotOwnEntryExitCode = 2;
inline constexpr unsigned long DamagedSectionExitCode = 3;

// A section the host cannot run from; carries the exit code to report.
class TSettingsError : public TError {
public:
    TSettingsError(const std::string& message, unsigned long exitCode) : TError(message), exitCode_(exitCode) {}
    unsigned long ExitCode() const { return exitCode_; }

private:
    unsigned long exitCode_;
};

// Reads the section named by the description and checks that its
// "Vantorer" key names this very copy (letter case ignored). A missing
// ServiceID reads as 1, as the manager reads it; one that is not a
// non-negative number makes the section damaged.
TStubSettings LoadSettings(const std::string& description, const std::string& ownPath,
                           const std::string& fileName = CatalogueFileName);

// "\"<program>\" <parameters>" (no trailing blank without parameters).
std::string ProgramCommandLine(const std::string& program, const std::string& parameters);
