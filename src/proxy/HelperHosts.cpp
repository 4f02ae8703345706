#include "proxy/HelperHosts.h"

#include "core/Errors.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace build {

namespace {

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// A number in [low, high]; none otherwise.
bool ParseNumber(std::string_view text, long low, long high, long& value) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.') {
        return false;
    }
    return std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

bool IsUserName(std::string_view user) {
    return user.size() <= 64 && std::all_of(user.begin(), user.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
           });
}

bool IsIPv4(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        long value = 0;
        if (!ParseNumber(text.substr(0, dot), 0, 255, value) || ++parts > 4) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return parts == 4;
        }
        text.remove_prefix(dot + 1);
    }
}

[[noreturn]] void Refuse(std::string_view word, std::string_view why) {
    core::Raise(core::EGeneralError("Helper \"" + std::string(word) + "\": " + std::string(why)));
}

THelperHost ParseHost(std::string_view word) {
    THelperHost host;
    if (word.find(',') != std::string_view::npos) {
        Refuse(word, "distcc's host options are not supported");
    }
    std::string_view rest = word;
    if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
        long limit = 0;
        if (!ParseNumber(rest.substr(slash + 1), 1, MaxHelperLimit, limit)) {
            Refuse(word, "the limit after \"/\" must be a number from 1 to " +
                             std::to_string(MaxHelperLimit));
        }
        host.Limit = static_cast<int>(limit);
        rest = rest.substr(0, slash);
    }
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        host.Ssh = true;
        host.User = std::string(rest.substr(0, at));
        rest = rest.substr(at + 1);
        if (!IsUserName(host.User)) {
            Refuse(word, "not a user name before \"@\"");
        }
        if (rest.find(':') != std::string_view::npos) {
            Refuse(word, "an SSH helper takes no port");
        }
    } else if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
        long port = 0;
        if (!ParseNumber(rest.substr(colon + 1), 1, 65535, port)) {
            Refuse(word, "the port after \":\" must be a number from 1 to 65535");
        }
        host.Port = static_cast<std::uint16_t>(port);
        rest = rest.substr(0, colon);
    }
    if (!IsHostName(rest)) {
        Refuse(word, "not a host name or IPv4 address");
    }
    host.Host = std::string(rest);
    std::string lower = host.Host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "localhost") {
        Refuse(word, "distcc compiles on this machine for \"localhost\"; it is no helper");
    }
    return host;
}

} // namespace

std::vector<THelperHost> ParseHelperHosts(std::string_view text) {
    std::vector<THelperHost> hosts;
    std::set<std::string> names;
    for (const std::string_view word : Words(text)) {
        THelperHost host = ParseHost(word);
        if (!names.insert(HelperName(host)).second) {
            Refuse(word, "named twice");
        }
        hosts.push_back(std::move(host));
    }
    return hosts;
}

std::string DistccHostText(const THelperHost& host, int limit) {
    std::string text =
        host.Ssh ? host.User + "@" + host.Host : host.Host + ":" + std::to_string(host.Port);
    if (limit > 0) {
        text += "/" + std::to_string(limit);
    }
    return text;
}

std::string HelperName(const THelperHost& host) {
    return host.Ssh ? "@" + host.Host : host.Host + ":" + std::to_string(host.Port);
}

std::vector<std::string> ParseAllowedNetworks(std::string_view text, bool force) {
    std::vector<std::string> networks;
    for (const std::string_view word : Words(text)) {
        const std::size_t slash = word.find('/');
        long bits = 32;
        if (!IsIPv4(word.substr(0, slash)) || (slash != std::string_view::npos &&
                                               !ParseNumber(word.substr(slash + 1), 0, 32, bits))) {
            core::Raise(core::EGeneralError("Allowed network \"" + std::string(word) +
                                            "\" is not an IPv4 address or network (a.b.c.d/bits)"));
        }
        if (bits == 0 && !force) {
            core::Raise(core::EGeneralError("Allowed network \"" + std::string(word) +
                                            "\" admits every address; name the networks of the "
                                            "initiators, or force it explicitly"));
        }
        networks.emplace_back(word);
    }
    if (networks.empty()) {
        core::Raise(core::EGeneralError("A helper needs the networks it admits (the HelperAllow "
                                        "setting); none are set"));
    }
    return networks;
}

} // namespace build
