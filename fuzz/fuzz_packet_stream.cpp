// Packet streams from outside: full form, compact form with a context, loading into
// an existing object, and the compressed wrapper. The first byte picks the mode.
#include "../tests/packets/TestPackets.h"
#include "packets/PacketStream.h"
#include "records/BuildPackets.h"
#include "records/Registration.h"

#include <cstddef>
#include <cstdint>

namespace {

bool Registered() {
    testpackets::RegisterTestPackets();
    records::RegisterAllPacketClasses();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool registered = Registered();
    (void)registered;
    if (size < 1)
        return 0;
    int mode = data[0] % 4;
    packets::TMemoryStream stream(std::vector<std::uint8_t>(data + 1, data + size));
    try {
        switch (mode) {
        case 0:
        case 1: {
            packets::TPacketLoadContext context;
            auto* ctx = mode == 1 ? &context : nullptr;
            // Every packet moves the position forward, so this ends.
            while (stream.Position() < stream.Size()) {
                auto packet = packets::TPacket::CreateFromStream(stream, ctx);
                core::TStringListEx dump;
                packet->DumpToStrings(dump);
                packet->Clone();
            }
            break;
        }
        case 2: {
            testpackets::TAllTypesPacket target;
            target.LoadFromStream(stream);
            records::TBuildCommandPacket request;
            stream.SetPosition(0);
            request.LoadFromStream(stream);
            break;
        }
        case 3: {
            auto packet =
                packets::TPacket::CreateFromStream(stream, nullptr, packets::ploCompressed);
            (void)packet;
            break;
        }
        }
    } catch (const core::Exception&) {
        // Refused input is the expected outcome; anything else escapes and is a finding.
    }
    return 0;
}
