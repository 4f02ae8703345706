// Feeds arbitrary bytes as a job document: read as the build system reads it, then
// checked and made into a graph. Every failure must be one of the two errors.
#include "buildsys/JobGraph.h"
#include "records/Registration.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (records::RegisterAllPacketClasses(), true);
    (void)registered;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    records::TXml_BuildDocument document;
    records::TXmlRecordLines lines;
    try {
        records::ReadXmlRecord(text, "/fuzz/job.xml", document, &lines);
        // No PATH: tools named by Filename are looked for in the default folders.
        const std::string environment("HOME=/home/fuzz\0\0", 17);
        const buildsys::TJobGraph graph =
            buildsys::MakeJobGraph(document, lines, "/fuzz/job.xml", environment);
        for (std::size_t i = 0; i < graph.Tasks.size(); ++i) {
            for (const std::int32_t d : graph.Tasks[i].DependsOn) {
                if (d < 0 || static_cast<std::size_t>(d) >= graph.Tasks.size()) {
                    __builtin_trap();
                }
            }
        }
    } catch (const records::EXmlRecordError&) {
    } catch (const buildsys::EJobDocumentError&) {
    }
    return 0;
}
