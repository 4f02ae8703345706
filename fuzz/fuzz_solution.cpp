// Feeds arbitrary text to the solution parser and translates a configuration of
// every project it accepts.
#include "core/Errors.h"
#include "vs/WorkspaceParserVC7.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vs::TWorkspaceParserVC7 parser(false);
    try {
        parser.LoadFromText("/fuzz/input.sln", text);
    } catch (const core::Exception&) {
        return 0;
    }
    for (int i = 0; i < parser.ProjectCount(); ++i) {
        try {
            (void)parser.TranslateConfiguration(parser.Project(i), "Debug|x64");
        } catch (const core::Exception&) {
        }
    }
    return 0;
}
