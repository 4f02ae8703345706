#pragma once
// Which file a path names, after every link: two paths name the same file when
// their identities are equal. One status call, where resolving both paths in
// full takes a call per path component.
#include <cstdint>
#include <optional>
#include <string_view>

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

} // namespace platform
