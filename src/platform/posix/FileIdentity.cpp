#include "platform/FileIdentity.h"

#include <charconv>
#include <string>
#include <sys/stat.h>

namespace platform {

namespace {

TFileIdentity IdentityOfStatus(const struct stat& st) {
    return TFileIdentity{static_cast<std::uint64_t>(st.st_dev),
                         static_cast<std::uint64_t>(st.st_ino)};
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && at == end;
}

} // namespace

std::optional<TFileIdentity> IdentityOf(std::string_view path) {
    const std::string text(path);
    struct stat st {};
    if (text.empty() || ::stat(text.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return IdentityOfStatus(st);
}

bool SameFile(std::string_view a, std::string_view b) {
    const std::optional<TFileIdentity> first = IdentityOf(a);
    return first && first == IdentityOf(b);
}

std::optional<TFileIdentity> IdentityOfStream(int stream) {
    struct stat st {};
    if (stream < 0 || stream > 2 || ::fstat(stream, &st) != 0) {
        return std::nullopt;
    }
    return IdentityOfStatus(st);
}

std::string IdentitiesText(const std::vector<TFileIdentity>& identities) {
    std::string text;
    for (const TFileIdentity& identity : identities) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(identity.Device) + ':' + std::to_string(identity.Inode);
    }
    return text;
}

std::vector<TFileIdentity> ParseIdentities(std::string_view text) {
    std::vector<TFileIdentity> identities;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        const std::size_t colon = entry.find(':');
        TFileIdentity identity;
        if (colon != std::string_view::npos &&
            ParseNumber(entry.substr(0, colon), identity.Device) &&
            ParseNumber(entry.substr(colon + 1), identity.Inode)) {
            identities.push_back(identity);
        }
    }
    return identities;
}

} // namespace platform
