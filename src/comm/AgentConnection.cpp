#include "comm/AgentConnection.h"

#include "comm/CommPipe.h"
#include "comm/ProductInfo.h"
#include "core/Errors.h"
#include "packets/SpinLock.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"

namespace comm {

std::unique_ptr<packets::TPacket> TAgentConnection::Request(const packets::TPacket& request) {
    throw core::EGeneralError(
        "Failed to connect to Build Service (on local machine): cannot send " +
        std::string(request.ClassName()));
}

void TAgentConnection::Post(const packets::TPacket& request) {
    (void)Request(request);
}

namespace {

constexpr std::uint32_t ServiceSectionSize = 2097152;
constexpr std::int32_t ServiceSession = -2; // the agent's channel is global

class TAgentPipeConnection final : public TAgentConnection {
public:
    ~TAgentPipeConnection() override { pipe.reset(); }

    std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request) override {
        Connect();
        return pipe->Request(request);
    }

    void Post(const packets::TPacket& request) override {
        Connect();
        pipe->Send(request, 0, 0);
    }

    bool Open() const override { return pipe && pipe->State() == TCommState::Connected; }

    void SetOnDisconnected(std::function<void()> handler) override {
        onDisconnected = std::move(handler);
    }

private:
    // A no-op once connected; a lost connection stays lost.
    void Connect() {
        if (!pipe) {
            records::RegisterAllPacketClasses();
            const core::TGUID channel = TProductInfo::Get().GridServiceID();
            // No service channel, no reply channel: a console without an agent leaves
            // no shared objects behind.
            if (!platform::TSharedSection::Open(
                    packets::SharedObjectName(channel, ServiceSession, "Channel_Data"))) {
                throw core::EGeneralError(
                    "Failed to connect to Build Service (on local machine): " +
                    DisconnectReasonText(static_cast<int>(TDisconnectReason::NotReachable)));
            }
            pipe = std::make_unique<TLocalCommPipe>(channel, ServiceSectionSize, nullptr,
                                                    "Build Service", ServiceSession);
            pipe->AddOnTerminate([this] {
                if (onDisconnected) {
                    onDisconnected();
                }
            });
        }
        pipe->CheckConnected();
    }

    std::unique_ptr<TLocalCommPipe> pipe;
    std::function<void()> onDisconnected;
};

} // namespace

std::unique_ptr<TAgentConnection> ConnectToAgent() {
    return std::make_unique<TAgentPipeConnection>();
}

} // namespace comm
