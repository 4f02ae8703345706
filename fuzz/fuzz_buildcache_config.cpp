// Feeds arbitrary bytes as the default and the user build-cache service configuration
// (split at the first 0x01 byte).
#include "core/Errors.h"
#include "platform/Environment.h"
#include "proxy/BuildCacheSettings.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {
const std::string& DataFolder() {
    static const std::string folder = "/tmp/ravel_fuzz_buildcache_" + std::to_string(::getpid());
    return folder;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Default locations resolve below a private folder, not the machine's; it goes at exit.
    platform::SetEnvVar("TAVRIX_DATA_DIR", DataFolder());
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(DataFolder(), ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\x01');
    const std::string_view defaults = input.substr(0, split);
    const std::string_view user =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    try {
        const build::TBuildCacheSettings settings =
            build::TBuildCacheSettings::FromText(defaults, user);
        (void)settings.TaskInfoDatabase();
    } catch (const core::Exception&) {
    }
    return 0;
}
