// Arbitrary bytes as a connection of the agent's socket delivers them, in pieces:
// the frame reader never crashes, never reads past what it was given, and either
// yields messages or refuses the stream with an error.
#include "comm/MessageFrame.h"
#include "records/Registration.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    records::RegisterAllPacketClasses();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    comm::TMessageFrameReader reader(1u << 20);
    // The first byte chooses the piece size, so that framing across pieces is tried.
    const std::size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
    try {
        for (std::size_t at = size > 0 ? 1 : 0; at < size; at += piece) {
            reader.Append(data + at, std::min(piece, size - at));
            while (auto message = reader.Next()) {
                if (!message->Packet || message->Length < comm::MessageHeadSize) {
                    __builtin_trap();
                }
            }
        }
    } catch (const std::exception&) {
        // A refused stream: the agent closes such a connection.
    }
    return 0;
}
