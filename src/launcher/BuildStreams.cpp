#include "launcher/BuildStreams.h"

#include "platform/FileIdentity.h"
#include "platform/ProcessAncestry.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace launcher {

namespace {

// Drivers that read each command's output through a pipe and print it themselves.
constexpr std::string_view CapturingDrivers[] = {"ninja", "ninja-build", "samu"};
// Shells and wrappers between a driver and the launcher are few.
constexpr int AncestorLimit = 16;

bool Contains(const std::vector<platform::TFileIdentity>& list,
              const std::optional<platform::TFileIdentity>& identity) {
    return identity && std::find(list.begin(), list.end(), *identity) != list.end();
}

} // namespace

TBuildStreams StreamsTheBuildTakes(std::string_view buildOutputs) {
    const std::vector<platform::TFileIdentity> build = platform::ParseIdentities(buildOutputs);
    TBuildStreams streams;
    if (build.empty()) {
        return streams;
    }
    std::optional<std::vector<platform::TAncestor>> ancestors;
    for (const int stream : {1, 2}) {
        const std::optional<platform::TFileIdentity> identity = platform::IdentityOfStream(stream);
        bool takes = Contains(build, identity);
        if (!takes && identity) {
            if (!ancestors) {
                ancestors = platform::Ancestors(AncestorLimit);
            }
            // The nearest driver that reads this pipe decides: it prints what it read on
            // its own output.
            for (const platform::TAncestor& ancestor : *ancestors) {
                const bool driver =
                    std::find(std::begin(CapturingDrivers), std::end(CapturingDrivers),
                              ancestor.Name) != std::end(CapturingDrivers);
                if (driver && platform::ProcessHolds(ancestor.Pid, *identity)) {
                    takes = Contains(build, platform::IdentityOfProcessStream(ancestor.Pid, 1));
                    break;
                }
            }
        }
        (stream == 1 ? streams.Output : streams.Error) = takes;
    }
    return streams;
}

} // namespace launcher
