#include "proxy/BuildProxy.h"

#include "core/CmdLineTokenizer.h"
#include "core/DiagnosticLog.h"
#include "core/OptionFile.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"

namespace build {

void TBuildProxy::LoadBuildConfigFile(std::string_view configuration,
                                      records::TBuildCommandPacket& request,
                                      core::TStringListEx& options) {
    const std::size_t bar = configuration.find('|');
    const std::string configName(configuration.substr(0, bar));
    const std::string platformName(bar == std::string_view::npos ? std::string_view()
                                                                 : configuration.substr(bar + 1));
    const std::string primary = platform::ToNativeSeparators(request.PrimaryFilename);
    // A bare file name lies in the current directory.
    const std::string dir = platform::ExtractFileDir(primary);
    const std::string base =
        (dir.empty() ? std::string() : platform::IncludeTrailingDelimiter(dir)) +
        platform::FileNameWithoutExt(primary);
    std::string file = base + "_" + configName + "_" + platformName + ".mv_config.rsp";
    if (!platform::FileExists(file)) {
        file = base + ".mv_config.rsp";
        if (!platform::FileExists(file)) {
            return;
        }
    }
    core::Log().Line("LoadBuildConfigFile: Found configuration file in solution folder: " + file);
    core::TStringListEx lines;
    lines.SetText(core::ReadOptionFile(file));
    request.ConfigFileContent = lines.Join(' ');
    core::Log().Line("Configuration file content: " + request.ConfigFileContent);
    core::TCRTCmdLineTokenizer tokenizer;
    for (const std::string& line : lines.Strings()) {
        tokenizer.Tokenize(line);
    }
    for (const std::string& token : tokenizer.Arguments().Strings()) {
        if (!token.empty() && (token[0] == '-' || token[0] == '/')) {
            options.Add(token.substr(1));
        }
    }
}

} // namespace build
