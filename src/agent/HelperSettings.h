#pragma once
// The agent's settings for distribution, under the key of its other settings:
//   HelperMode (dword, default 0)  this machine is a helper: the agent runs distccd
//   HelperListen (default empty)   the address distccd listens on; required
//   HelperPort (default 3632), HelperStatsPort (default HelperPort + 1)
//   HelperAllow                    the networks admitted, blank-separated a.b.c.d/bits
//   HelperAllowForce (dword, 0)    admit a list that admits everyone (a /0 network)
//   HelperUser                     whom distccd runs as when the agent is the superuser
//                                  (default "distcc" when that user exists, else "nobody")
//   Helpers                        this machine's helpers, distcc host syntax
//   HelperCompilers (default "cc c++ gcc g++") the compilers a helper is checked for;
//                                  tasks of other compilers stay on this machine
//   HelperProbeSeconds (default 5)
//   HelperDoubling (dword, default 1)  read by the build: idle rows here run remote
//                                  tasks a second time (0: never)
// For networks that are not trusted, name the helpers as [USER]@HOST: distcc then runs
// over SSH with its key authentication instead of plain TCP.
#include <cstdint>
#include <string>

namespace agent {

struct THelperSettings {
    bool HelperMode = false;
    std::string Listen;
    std::int64_t Port = 3632;
    std::int64_t StatsPort = 3633;
    std::string Allow;
    bool AllowForce = false;
    std::string User;
    std::string Helpers;
    std::string Compilers = "cc c++ gcc g++";
    std::int64_t ProbeSeconds = 5;

    // Unreadable values are logged and count as absent.
    static THelperSettings Load();
};

} // namespace agent
