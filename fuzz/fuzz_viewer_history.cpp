// Feeds arbitrary bytes as a build history file to the viewer: the monitor-file
// record, a damaged or cut block chain and the events are all read into the model.
#include "core/Errors.h"
#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (records::RegisterAllPacketClasses(), true);
    (void)registered;
    static const std::string path =
        "/tmp/ravel_fuzz_viewer_" + std::to_string(::getpid()) + ".mv_mon";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    try {
        const viewer::TBuildModel model = viewer::ReadHistory(path);
        (void)viewer::Analyse(model, 10);
    } catch (const core::Exception&) {
    }
    return 0;
}
