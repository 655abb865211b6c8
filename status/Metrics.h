#pragma once
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/ServiceSettings.h"
#include "status/EntryStatus.h"
#include "toolkit/Refusal.h"

// What every entry is doing, as Prometheus reads it: the text exposition
// format, version 0.0.4, for qv metrics and the textfile collector of
// windows_exporter (and node exporter). Told from the status module's answer,
// the same as qv status and the window tell.

// One entry as the metrics tell it.
struct TMetricsEntry {
    TCatalogueEntry Entry;
    TServiceSettings Settings;
    // The version its host copy carries, "" when there is none to read. A
    // running host tells its own; the copy's file is read only for the others.
    std::string HostVersion;
    TEntryStatus Status;
};

struct TMetricsCollection {
    std::vector<TMetricsEntry> Entries;
    // How long reading the catalogue and asking the hosts took, and when it
    // ended (Unix seconds).
    double Seconds = 0;
    double CollectedAt = 0;
};

// The file the textfile collector reads, in the folder given.
inline constexpr const char* MetricsFileName = "quorvane.prom";

// The catalogue's entries with their settings, the Service Control Manager's
// states and every host asked at once.
TMetricsCollection CollectMetrics();

// The collection as the exposition text: "# HELP" and "# TYPE" for each
// family, one line a sample, UTF-8 without a byte-order mark, "\n" line ends.
std::string MetricsText(const TMetricsCollection& collection);

// Writes the text to MetricsFileName in the folder in one step: the
// collector finds the last file or this one, never half of one.
[[nodiscard]] TRefusal WriteMetricsFile(const std::string& folder, const std::string& text);

// "1.02": the product version the host copy at the path carries; "" when
// there is no file or no version.
std::string HostVersionOf(const std::string& stubPath);

// A label's value as the format writes it: backslash, double quote and line
// feed escaped.
std::string LabelValue(const std::string& value);
