#pragma once
// The reasons a build stops early: the agent's stop event, the console (the owner)
// going away, and a termination request (SIGTERM, SIGINT) to this process.
//
// The console holds the owner-termination mutex while it follows the build. Only a
// mutex once seen held counts: between creating it and taking it, the console
// leaves it free for a moment.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace platform {
class TEvent;
class TMutex;
} // namespace platform

namespace buildsys {

class TStopSignals {
public:
    explicit TStopSignals(std::string_view identity);
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Receives termination requests from now on (blocks them from ending the process).
    // Call before any other thread starts.
    void WatchTerminationRequests();
    // Looks at every signal: why the build must stop, or none.
    std::optional<std::string> Check();
    // True while the console is known to follow the build.
    bool OwnerFollowing();

private:
    std::string identity;
    std::unique_ptr<platform::TEvent> stopEvent;
    std::unique_ptr<platform::TMutex> ownerMutex;
    bool ownerSeen = false;
    std::atomic<bool> terminationRequested{false};
    std::atomic<bool> ending{false};
    std::thread terminationWatch;
};

} // namespace buildsys
