#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "catalogue/ServiceSettings.h"
#include "deploy/ServiceConfig.h"

// The settings that live in the Service Control Manager (the account, the
// start type with its delay, the dependencies and the service's text) as
// the system reports them for a registered service, so that a command
// compares what is wanted with what the service holds, not only with what
// the catalogue says was asked for: a value the system refused stays
// different until it is taken.

// What the service holds of those settings; nothing when it cannot be
// asked. A system that does not know delayed starts (it refuses the
// question as an unknown level) holds none.
std::optional<TServiceConfig> ReportedServiceConfig(SC_HANDLE service);
// The same for the service of that name, opened through the connection
// given, or one of its own; nothing when it is not there or cannot be asked.
std::optional<TServiceConfig> ReportedServiceConfig(SC_HANDLE manager, const std::string& serviceName);
std::optional<TServiceConfig> ReportedServiceConfig(const std::string& serviceName);

// The catalogue's settings of an entry running that program, with each
// Service Control Manager setting replaced by the service's own where the
// two differ; the others stay the catalogue's.
TServiceSettings SettingsAsHeld(const TServiceSettings& settings, const TServiceConfig& reported,
                                const std::string& program);
// The same for the service of that name: the settings unchanged when it
// cannot be asked.
TServiceSettings SettingsAsHeld(const std::string& serviceName, const TServiceSettings& settings,
                                const std::string& program);
