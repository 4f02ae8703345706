// Feeds arbitrary bytes to the scheduler's frame reader, split at a point the
// input chooses, as a hostile or broken client could send them; and to the readers of
// an end's cache outcome and of the cache engine's log; and to the reader of the pipe
// identities a build names in its environment.
#include "core/CacheOutcome.h"
#include "core/TaskProtocol.h"
#include "platform/FileIdentity.h"

#include <cstdlib>

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    core::TTaskFrameReader reader;
    try {
        reader.Append(bytes.substr(0, cut));
        while (reader.Next()) {
        }
        reader.Append(bytes.substr(cut));
        while (auto message = reader.Next()) {
            // What was read must encode again.
            (void)core::EncodeTaskFrame(*message);
            if (const auto* end = std::get_if<core::TTaskEnd>(&*message)) {
                (void)core::CacheOutcomeFromText(end->cache);
            }
        }
    } catch (const core::ETaskProtocolError&) {
    }
    try {
        (void)core::TaskMessageFromJson(bytes);
    } catch (const core::ETaskProtocolError&) {
    }
    // An outcome read from a log travels unchanged.
    const core::TCacheOutcome outcome = core::CacheOutcomeFromLog(bytes);
    if (!(core::CacheOutcomeFromText(core::CacheOutcomeToText(outcome)) == outcome)) {
        std::abort();
    }
    (void)core::CacheOutcomeFromText(bytes);
    // Identities read from any text write back to the same identities.
    const auto identities = platform::ParseIdentities(bytes);
    if (platform::ParseIdentities(platform::IdentitiesText(identities)) != identities) {
        std::abort();
    }
    return 0;
}
