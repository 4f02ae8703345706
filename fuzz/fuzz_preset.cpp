// Feeds arbitrary bytes as a preset file and adds the chosen preset's projects.
#include "console/BuildPreset.h"
#include "core/Errors.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/ravel_fuzz_preset_" + std::to_string(::getpid()) + ".xml";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    console::TBuildPreset preset;
    try {
        preset.Load(path, "Nightly");
        records::TBuildCommandProjectPacketList list;
        preset.AddProjects(list);
    } catch (const core::Exception&) {
    }
    return 0;
}
