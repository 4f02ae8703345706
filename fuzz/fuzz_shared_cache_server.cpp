// Feeds arbitrary bytes as the shared build-cache server setting and the text of its
// password file (split at the first 0x01 byte).
#include "core/Errors.h"
#include "proxy/SharedCacheServer.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t split = text.find('\x01');
    const std::string server(text.substr(0, split));
    const std::string password(split == std::string_view::npos ? std::string_view()
                                                               : text.substr(split + 1));
    try {
        build::ParseSharedCacheServer(server, password);
    } catch (const core::EGeneralError&) {
    }
    return 0;
}
