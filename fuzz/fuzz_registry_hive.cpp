// Registry hive files from outside: parsing never crashes, and whatever parses
// survives being written and read back unchanged.
#include "platform/Registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::TRegHive hive;
    try {
        hive = platform::TRegHive::Parse(text, "HKEY_LOCAL_MACHINE", "fuzz.reg");
    } catch (const platform::TRegistryError&) {
        return 0;
    }
    const std::string written = hive.Serialize("HKEY_LOCAL_MACHINE");
    const platform::TRegHive again =
        platform::TRegHive::Parse(written, "HKEY_LOCAL_MACHINE", "written.reg");
    if (!(again == hive)) {
        std::abort();
    }
    for (const std::string& name : hive.SubKeyNames("")) {
        hive.SubKeyNames(name);
    }
    return 0;
}
