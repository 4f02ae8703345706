// Response-file text as a tool call names it: split, expanded (the text names itself
// through "@self") and classified, as the task launcher does with a build's files.
#include "core/ResponseFiles.h"
#include "core/ToolCommandLine.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)core::SplitResponseFileText(text);
    const auto read = [&](const std::string& path) -> std::optional<std::string> {
        if (path == "self") {
            return text;
        }
        return std::nullopt;
    };
    const std::vector<std::string> argv =
        core::ExpandResponseFiles({"gcc", "@self", "-o", "out.o"}, read);
    (void)core::ClassifyToolCall("/usr/bin/gcc", argv);
    return 0;
}
