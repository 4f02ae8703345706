#pragma once
// The live view of one running build of this user: follows the build's live event
// stream (and then its history file) as the console does, replays it into the model
// of the build, and publishes the page's data to a live server as it grows, the last
// time with the build's result. Runs on the main notify queue.
#include "core/Guid.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace viewer {

// The build to watch: `requested` (a build ID), or the newest build of this user that
// the agent lists as running. Raises with a clear message when there is none.
core::TGUID ChooseLiveBuild(std::string_view requested);

struct TLiveSettings {
    // Ends this long after the build ended and no page was connected or asked.
    std::uint32_t IdleAfterEndMs = 60000;
    // Receives the page's address once it is served.
    std::function<void(const std::string& url)> Serving;
};

// Serves the build's page until the build has ended and the page was idle long
// enough. Only the user's own builds open: the live stream is taken from this
// user's session alone and a history file only when this user owns it. Raises when
// neither can be read.
void ServeLiveBuild(const core::TGUID& id, const TLiveSettings& settings);

} // namespace viewer
