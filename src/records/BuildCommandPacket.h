#pragma once
// The build request: everything the build-system process needs to know about one
// build. Field names are the stored names.
#include "core/StringListEx.h"

#include <cstdint>
#include <string>

namespace records {

// Members of the request's flag set (bit numbers).
enum TBuildFlag : unsigned {
    Attach = 0,
    Monitor = 1,
    Rebuild = 2,
    Clean = 3,
};

struct TBuildCommandPacket {
    std::uint64_t Flags = 0;
    std::string BuildClass;
    std::string Caption;
    std::string PrimaryFilename;
    std::string EnvBlock;
    core::TStringListEx CompilerParamsAdd;
    core::TStringListEx CompilerParamsSub;
    core::TStringListEx LinkerParamsAdd;
    core::TStringListEx LinkerParamsSub;
    std::string Command;
    std::string RavelconCommandLine;
    core::TStringListEx ForcedEnv;
    std::string VSInstallDir;
    std::uint32_t ConsoleOutputCodePage = 0;
    std::int32_t BuildCachePchStrategy = -1;
    bool BuildCacheEnableStdinInputTaskCaching = false;

    bool HasFlag(TBuildFlag flag) const { return (Flags >> flag) & 1u; }
    void SetFlag(TBuildFlag flag, bool on = true) {
        Flags = on ? (Flags | (std::uint64_t{1} << flag)) : (Flags & ~(std::uint64_t{1} << flag));
    }
};

} // namespace records
