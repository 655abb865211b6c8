#include "catalogue/HealthTarget.h"

#include "toolkit/Text.h"

namespace {

constexpr const char* Loopback = "127.0.0.1";

bool StartsWithWord(const std::string& text, const std::string& prefix)
{
    return LowerCase(text.substr(0, prefix.size())) == prefix;
}

bool ParsePort(const std::string& text, unsigned& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = static_cast<unsigned>(std::stoul(text));
    return port >= 1 && port <= 65535;
}

// "host:port", "[v6]:port", "host", "[v6]"; the port only where portOptional
// lets it be missing (then it stays as given).
bool ParseAuthority(const std::string& authority, THealthTarget& target, bool portOptional)
{
    if (authority.find_first_of("@/\\ \t") != std::string::npos)
        return false;
    std::string host = authority, port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return false;
        port = after.empty() ? "" : after.substr(1);
        if (after == ":")
            return false;
    } else if (const size_t colon = authority.rfind(':'); colon != std::string::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        // An IPv6 address goes in brackets.
        if (host.find(':') != std::string::npos)
            return false;
    }
    target.Host = host;
    if (port.empty())
        return portOptional;
    return ParsePort(port, target.Port);
}

std::optional<THealthTarget> ParseTcp(const std::string& rest)
{
    THealthTarget target;
    target.Kind = THealthKind::Tcp;
    // A port alone is the loopback address's.
    if (!rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos) {
        if (!ParsePort(rest, target.Port))
            return std::nullopt;
        target.Host = Loopback;
        return target;
    }
    if (!ParseAuthority(rest, target, false))
        return std::nullopt;
    if (target.Host.empty())
        target.Host = Loopback;
    return target;
}

std::optional<THealthTarget> ParseHttp(const std::string& rest, bool secure)
{
    THealthTarget target;
    target.Kind = THealthKind::Http;
    target.Secure = secure;
    target.Port = secure ? 443 : 80;
    const size_t end = rest.find_first_of("/?#");
    const std::string authority = rest.substr(0, end);
    std::string path = end == std::string::npos ? "" : rest.substr(end);
    if (!ParseAuthority(authority, target, true) || target.Host.empty())
        return std::nullopt;
    // The fragment stays with the client.
    path = path.substr(0, path.find('#'));
    if (path.find_first_of(" \t") != std::string::npos)
        return std::nullopt;
    target.Path = path.empty() || path[0] != '/' ? "/" + path : path;
    return target;
}

std::string Authority(const THealthTarget& target)
{
    return target.Host.find(':') != std::string::npos ? "[" + target.Host + "]" : target.Host;
}

} // namespace

std::optional<THealthTarget> ParseHealthTarget(const std::string& given)
{
    const std::string text = Trim(given);
    if (text.find_first_of("\r\n") != std::string::npos)
        return std::nullopt;
    if (StartsWithWord(text, "tcp://"))
        return ParseTcp(text.substr(6));
    if (StartsWithWord(text, "http://"))
        return ParseHttp(text.substr(7), false);
    if (StartsWithWord(text, "https://"))
        return ParseHttp(text.substr(8), true);
    if (StartsWithWord(text, "cmd:")) {
        THealthTarget target;
        target.Kind = THealthKind::Command;
        target.Command = Trim(text.substr(4));
        if (target.Command.empty())
            return std::nullopt;
        return target;
    }
    return std::nullopt;
}

std::string HealthTargetText(const THealthTarget& target)
{
    switch (target.Kind) {
    case THealthKind::Tcp:
        return "connect to " + Authority(target) + ":" + std::to_string(target.Port);
    case THealthKind::Http: {
        std::string text = target.Secure ? "GET https://" : "GET http://";
        text += Authority(target);
        if (target.Port != (target.Secure ? 443u : 80u))
            text += ':' + std::to_string(target.Port);
        return text + target.Path;
    }
    default:
        return "command " + target.Command;
    }
}
