// Feeds arbitrary bytes as a build monitor file and reads every event it yields.
#include "core/Errors.h"
#include "monitor/MonitorFile.h"
#include "packets/PacketStream.h"
#include "records/Registration.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (records::RegisterAllPacketClasses(), true);
    (void)registered;
    static const std::string path =
        "/tmp/ravel_fuzz_monitor_" + std::to_string(::getpid()) + ".mv_mon";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    try {
        records::TMetaBuildPacket meta;
        const auto reader = monitor::OpenMonitorFileForEvents(path, meta);
        packets::TPacketLoadContext context;
        while (reader && reader->Position() < reader->Size()) {
            (void)packets::TPacket::CreateFromStream(*reader, &context);
        }
    } catch (const core::Exception&) {
    }
    return 0;
}
