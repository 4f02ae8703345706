#pragma once
// The initiator's side: the agent probes each helper of its settings on a thread of
// its own, so no request ever waits for a probe, and publishes what it found in the
// helper state file after every probe. A probe asks: is distccd's port reachable, how
// many slots does it offer (its /LIMIT, else the count distccd's statistics report,
// else distcc's default) and, for each compiler of the settings that this machine has,
// does the helper compile with the same compiler: a tiny file whose object embeds the
// compiler's version and target is compiled here and through distcc on the helper,
// and the two are compared (distcc itself mixes objects of two compilers silently).
#include "agent/HelperSettings.h"
#include "proxy/HelperState.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace agent {

// The identity a compiler embeds in the probe's object, read from an object file's
// bytes; none when the object holds none.
std::optional<std::string> CompilerIdentityOf(std::string_view objectBytes);
// The probe's source.
std::string_view CompilerProbeSource();

class THelperProber {
public:
    // Raises core::EGeneralError for a Helpers setting that does not parse.
    THelperProber(const THelperSettings& settings, std::string statePath);
    ~THelperProber();
    THelperProber(const THelperProber&) = delete;
    THelperProber& operator=(const THelperProber&) = delete;

private:
    void Probe(std::size_t index);
    void ProbeCompilers(build::THelperStatus& status);
    // The identity of a local compiler; none when it is not here or does not compile.
    std::optional<std::string> LocalIdentity(const std::string& compiler);
    void Publish(); // under the lock

    THelperSettings settings;
    std::string statePath;
    std::string workFolder;
    std::vector<std::string> compilers;
    std::mutex mutex;
    std::mutex localMutex;
    std::condition_variable wake;
    bool stopping = false;
    build::THelperState state;
    std::map<std::string, std::optional<std::string>> localIdentities;
    std::vector<std::thread> threads;
};

} // namespace agent
