#pragma once
// Which file a path names, after every link: two paths name the same file when
// their identities are equal. One status call, where resolving both paths in
// full takes a call per path component.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct TFileIdentity {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    bool operator==(const TFileIdentity&) const = default;
};

// None when the path names nothing reachable.
std::optional<TFileIdentity> IdentityOf(std::string_view path);

// True when both paths name one existing file or folder.
bool SameFile(std::string_view a, std::string_view b);

// What standard stream `stream` (0 input, 1 output, 2 error) of this process is open on
// (a pipe has an identity too); none when it is closed.
std::optional<TFileIdentity> IdentityOfStream(int stream);

// Identities as text, to pass through an environment: "device:inode" separated by ','.
std::string IdentitiesText(const std::vector<TFileIdentity>& identities);
// The identities of such a text; entries that are no identity are left out.
std::vector<TFileIdentity> ParseIdentities(std::string_view text);

} // namespace platform
