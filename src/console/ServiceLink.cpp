#include "console/ServiceLink.h"

namespace console {

namespace {
class TNoChannelLink final : public TServiceLink {
public:
    std::unique_ptr<TServiceStatus> QueryStatus() override { return nullptr; }
};
} // namespace

std::unique_ptr<TServiceLink> CreateAgentServiceLink() {
    return std::make_unique<TNoChannelLink>();
}

} // namespace console
