// The agent's helper settings and the helper state file a build reads.
#include "proxy/HelperHosts.h"
#include "proxy/HelperState.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        build::ParseHelperHosts(text);
    } catch (const std::exception&) {
    }
    try {
        build::ParseAllowedNetworks(text, size % 2 == 0);
    } catch (const std::exception&) {
    }
    try {
        build::HelperStateFromJson(text);
    } catch (const std::exception&) {
    }
    return 0;
}
