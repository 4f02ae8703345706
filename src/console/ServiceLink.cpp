#include "console/ServiceLink.h"

#include "records/ServicePackets.h"

namespace console {

namespace {

class TAgentServiceLink final : public TServiceLink {
public:
    std::unique_ptr<TServiceStatus> QueryStatus() override {
        auto reply = connection->Request(records::TQueryServiceStatusPacket());
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
        return connection->Request(request);
    }
    void Post(const packets::TPacket& request) override { connection->Post(request); }
    bool Open() const override { return connection->Open(); }
    void SetOnDisconnected(std::function<void()> handler) override {
        connection->SetOnDisconnected(std::move(handler));
    }

private:
    std::unique_ptr<comm::TAgentConnection> connection = comm::ConnectToAgent();
};

} // namespace

std::unique_ptr<TServiceLink> CreateAgentServiceLink() {
    return std::make_unique<TAgentServiceLink>();
}

} // namespace console
