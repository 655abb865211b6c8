#pragma once
#include <string>

enum class TStubCommand { Install, Uninstall, Service, Usage };

// What the arguments after the program's name ask for: "-i" or "-u" alone
// (also "/i", "/u", any letter case); nothing means the Service Control
// Manager started us; anything else earns the usage box.
TStubCommand ParseCommand(int argc, const char* const* argv);

// The usage box's text for the copy at ownPath, which runs the entry of
// that description.
std::string UsageText(const std::string& ownPath, const std::string& description);
