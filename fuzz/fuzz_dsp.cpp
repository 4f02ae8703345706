// Feeds arbitrary text to the project parser of the older text format: its
// configuration list, default configuration and body interpreter.
#include "core/Errors.h"
#include "vs/ProjectParserVC6.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vs::TProjectParserVC6 parser;
    try {
        parser.LoadFromText("/fuzz/input.dsp", text, 7);
        core::TStringListEx files;
        parser.GetFiles(files);
    } catch (const core::Exception&) {
    }
    return 0;
}
