// Feeds arbitrary bytes as a job profile, a build document and a build cache
// profile file; what reads must write and read back equal.
#include "records/BuildCacheProfile.h"
#include "records/ProfilePackets.h"
#include "records/XmlRecordFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void Rules(const packets::TPacket& document) {
    if (const auto* cache = dynamic_cast<const records::TBuildCacheProfileDocument*>(&document)) {
        records::CheckBuildCacheProfile(*cache, "fuzz.xml");
        records::AllowsBuildCache(*cache, "gcc");
    }
}

template <typename T> void Check(std::string_view text) {
    T document;
    try {
        records::ReadXmlRecord(text, "fuzz.xml", document);
        Rules(document);
    } catch (const records::EXmlRecordError&) {
        return;
    }
    T again;
    records::ReadXmlRecord(records::WriteXmlRecord(document), "again.xml", again);
    if (!again.IsEqual(document)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Check<records::TXml_ProfileDocument>(text);
    Check<records::TXml_BuildDocument>(text);
    Check<records::TBuildCacheProfileDocument>(text);
    return 0;
}
