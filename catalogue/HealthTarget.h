#pragma once
#include <optional>
#include <string>

// What an entry's health check asks, as its setting gives it:
//   tcp://HOST:PORT   a connection to the port (tcp://:PORT and tcp://PORT:
//                     the loopback address);
//   http://... https://...  a GET of the URL, healthy on a 2xx or 3xx answer;
//   cmd:COMMAND LINE  a command, healthy on exit code 0.
enum class THealthKind { Tcp, Http, Command };

struct THealthTarget {
    THealthKind Kind = THealthKind::Tcp;
    // TCP and HTTP: the host (an IPv6 address without its brackets) and port.
    std::string Host;
    unsigned Port = 0;
    // HTTP: whether it is HTTPS, and the path with its query ("/" at least).
    bool Secure = false;
    std::string Path;
    // The command line, as CreateProcess takes it.
    std::string Command;
};

// The check the text describes, or nothing when it describes none of the
// three kinds (the scheme's letter case aside). "" is no check: not parsed.
std::optional<THealthTarget> ParseHealthTarget(const std::string& text);

// As the log and the status name the check: "GET http://127.0.0.1:8080/health",
// "connect to 127.0.0.1:8080", "command check.cmd --db".
std::string HealthTargetText(const THealthTarget& target);
