// Arbitrary bytes as the packet of a channel message: the receiver never crashes,
// and every message it cannot read reaches its owner as an exception packet.
#include "comm/PacketChannel.h"
#include "core/NotifyQueue.h"
#include "packets/SpinLock.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

struct TTarget {
    core::TNotifyQueue queue;
    std::unique_ptr<comm::TPacketChannelReceiver> receiver;
    std::unique_ptr<platform::TSharedSection> block;
    int delivered = 0;
};
TTarget* target = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const std::string root = "/dev/shm/ravel-fuzz-channel-" + std::to_string(::getpid());
    ::setenv("TAVRIX_OBJECTS_DIR", root.c_str(), 1);
    std::atexit([] {
        target->receiver.reset();
        target->block.reset();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    records::RegisterAllPacketClasses();
    target = new TTarget;
    target->queue.Attach();
    const core::TGUID id = core::NewGuid();
    target->receiver =
        std::make_unique<comm::TPacketChannelReceiver>(target->queue, -1, nullptr, 65536, id);
    target->receiver->SetCallback([](comm::TPacketChannelMessage& m) {
        if (!m.Packet) {
            std::abort();
        }
        ++target->delivered;
    });
    target->block =
        platform::TSharedSection::Open(packets::SharedObjectName(id, -1, "Channel_Data"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    auto* block = static_cast<std::uint8_t*>(target->block->Data());
    std::uint8_t head[44] = {3};
    head[4] = 4;
    head[8] = 1;
    const auto length = static_cast<std::uint32_t>(44 + size);
    std::memcpy(head + 40, &length, 4);
    packets::TGrowingSharedStream& stream = target->receiver->Stream();
    stream.Seek(0, packets::TSeekOrigin::soBeginning);
    stream.Write(head, sizeof head);
    stream.Write(data, size);
    std::memcpy(block + 12, &length, 4);
    const int before = target->delivered;
    target->receiver->ProcessExternalNotification();
    // One message in, one message out, readable or not; the channel stays open.
    if (target->delivered != before + 1 || block[41] != 0) {
        std::abort();
    }
    return 0;
}
