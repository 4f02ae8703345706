#pragma once
// The helpers of an initiator in distcc's host syntax, and the networks a helper
// admits. Both come from the agent's settings, so both are checked word by word and
// refused with a message naming the bad word.
//
// Helpers: words separated by blanks, each HOST[:PORT][/LIMIT] (TCP) or
// [USER]@HOST[/LIMIT] (distcc over SSH). HOST is a name or an IPv4 address.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace build {

inline constexpr std::uint16_t DistccDefaultPort = 3632;
// distcc's own limit for a host that names none.
inline constexpr int DistccDefaultLimit = 4;
inline constexpr int MaxHelperLimit = 256;

struct THelperHost {
    std::string Host;
    std::string User; // SSH only, may be empty
    std::uint16_t Port = DistccDefaultPort;
    int Limit = 0; // 0: none given
    bool Ssh = false;
    bool operator==(const THelperHost&) const = default;
};

// Raises core::EGeneralError for a word that is no host of this syntax, for distcc's
// host options (",lzo", ",cpp"), "localhost" (distcc runs those compiles here) and
// for a host named twice.
std::vector<THelperHost> ParseHelperHosts(std::string_view text);

// The host as distcc names it, with `limit` (0: none).
std::string DistccHostText(const THelperHost& host, int limit);
// A short stable name: "HOST:PORT" or "@HOST".
std::string HelperName(const THelperHost& host);

// The networks of a helper's settings as distccd's --allow takes them (a.b.c.d or
// a.b.c.d/bits). Raises core::EGeneralError for a bad word, for an empty list and,
// unless `force`, for a list that admits every address (a /0 network).
std::vector<std::string> ParseAllowedNetworks(std::string_view text, bool force);

} // namespace build
