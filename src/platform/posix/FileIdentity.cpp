#include "platform/FileIdentity.h"

#include <string>
#include <sys/stat.h>

namespace platform {

std::optional<TFileIdentity> IdentityOf(std::string_view path) {
    const std::string text(path);
    struct stat st {};
    if (text.empty() || ::stat(text.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return TFileIdentity{static_cast<std::uint64_t>(st.st_dev),
                         static_cast<std::uint64_t>(st.st_ino)};
}

bool SameFile(std::string_view a, std::string_view b) {
    const std::optional<TFileIdentity> first = IdentityOf(a);
    return first && first == IdentityOf(b);
}

} // namespace platform
