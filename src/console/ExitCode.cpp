#include "console/ExitCode.h"

#include "core/NotifyQueue.h"
#include "core/StringListEx.h"
#include "proxy/OptionList.h"

#include <cstdint>

namespace console {

using build::TryParseInt32;
using build::UnquoteText;

namespace {
int exitCodeBase = 0;
int processExitCode = 0;
} // namespace

int ExitCodeBase() {
    return exitCodeBase;
}
void SetExitCodeBase(int base) {
    exitCodeBase = base;
}
int ProcessExitCode() {
    return processExitCode;
}

void SetExitCode(int code) {
    // Wraps like the 32-bit sum it is, without signed overflow.
    processExitCode = code == 0 ? 0
                                : static_cast<int>(static_cast<std::uint32_t>(code) +
                                                   static_cast<std::uint32_t>(exitCodeBase));
}

void Finish(int code) {
    SetExitCode(code);
    core::MainQueue().Stop();
}

void ReadExitCodeBase(std::string_view rawCommandLine) {
    constexpr std::string_view name = "exitcodebase";
    core::TStringListEx items;
    items.SplitWhitespace(rawCommandLine);
    for (int i = 1; i < items.Count(); ++i) {
        std::string_view item = items[i];
        if (item.starts_with('"')) {
            item = item.substr(1, item.size() >= 2 ? item.size() - 2 : 0);
        }
        if (item.size() < name.size() + 2 || (item[0] != '/' && item[0] != '-') ||
            item[name.size() + 1] != '=' || !core::SameText(item.substr(1, name.size()), name)) {
            continue;
        }
        int value = 0;
        exitCodeBase = TryParseInt32(UnquoteText(item.substr(name.size() + 2)), value)
                           ? value
                           : DefaultExitCodeBase;
        return;
    }
}

} // namespace console
