#include "console/ServiceLink.h"

#include "comm/CommPipe.h"
#include "comm/ProductInfo.h"
#include "core/Errors.h"
#include "packets/SpinLock.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

namespace console {

std::unique_ptr<packets::TPacket> TServiceLink::Request(const packets::TPacket& request) {
    throw core::EGeneralError(
        "Failed to connect to Build Service (on local machine): cannot send " +
        std::string(request.ClassName()));
}

void TServiceLink::Post(const packets::TPacket& request) {
    (void)Request(request);
}

namespace {

constexpr std::uint32_t ServiceSectionSize = 2097152;
constexpr std::int32_t ServiceSession = -2; // the agent's channel is global

class TAgentServiceLink final : public TServiceLink {
public:
    ~TAgentServiceLink() override {
        if (pipe) {
            pipe.reset();
            // The reply channel named this thread as its receiver; give the identity
            // back with it.
            packets::ReleaseSessionObjects();
        }
    }

    std::unique_ptr<TServiceStatus> QueryStatus() override {
        Connect();
        auto reply = pipe->Request(records::TQueryServiceStatusPacket());
        if (!reply || &reply->Class() != &records::TQueryServiceStatusReplyPacket::StaticClass()) {
            return nullptr;
        }
        const auto& status = static_cast<records::TQueryServiceStatusReplyPacket&>(*reply);
        auto result = std::make_unique<TServiceStatus>();
        result->StandAlone = status.StandAlone;
        result->CoordinatorVersionMismatch = status.CoordinatorVersionMismatch;
        result->AllowEnableDisable = status.StaticPacket.AllowEnableDisable;
        result->Host = status.StaticPacket.Host;
        return result;
    }

    std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request) override {
        Connect();
        return pipe->Request(request);
    }

    void Post(const packets::TPacket& request) override {
        Connect();
        pipe->Send(request, 0, 0);
    }

    bool Open() const override { return pipe && pipe->State() == comm::TCommState::Connected; }

    void SetOnDisconnected(std::function<void()> handler) override {
        onDisconnected = std::move(handler);
    }

private:
    // A no-op once connected; a lost connection stays lost.
    void Connect() {
        if (!pipe) {
            records::RegisterAllPacketClasses();
            const core::TGUID channel = comm::TProductInfo::Get().GridServiceID();
            // No service channel, no reply channel: a console without an agent leaves
            // no shared objects behind.
            if (!platform::TSharedSection::Open(
                    packets::SharedObjectName(channel, ServiceSession, "Channel_Data"))) {
                throw core::EGeneralError(
                    "Failed to connect to Build Service (on local machine): " +
                    comm::DisconnectReasonText(
                        static_cast<int>(comm::TDisconnectReason::NotReachable)));
            }
            pipe = std::make_unique<comm::TLocalCommPipe>(channel, ServiceSectionSize, nullptr,
                                                          "Build Service", ServiceSession);
            pipe->AddOnTerminate([this] {
                if (onDisconnected) {
                    onDisconnected();
                }
            });
        }
        pipe->CheckConnected();
    }

    std::unique_ptr<comm::TLocalCommPipe> pipe;
    std::function<void()> onDisconnected;
};

} // namespace

std::unique_ptr<TServiceLink> CreateAgentServiceLink() {
    return std::make_unique<TAgentServiceLink>();
}

} // namespace console
