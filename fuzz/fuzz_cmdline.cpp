// Feeds arbitrary bytes to the command-line tokenizers, the option parser (over text
// and over arguments) and the console's command-line parsing (arguments and one
// option file).
#include "console/CmdLineParser.h"
#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "core/CmdLineTokenizer.h"
#include "platform/CommandLine.h"
#include "proxy/OptionList.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
// Option files may name other files; the fuzzer must not read arbitrary ones.
std::string WithoutAt(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c == '@') {
            c = '_';
        }
    }
    return result;
}

const std::string& OptionFilePath() {
    static const std::string path =
        "/tmp/ravel_fuzz_cmdline_" + std::to_string(::getpid()) + ".rsp";
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\x01');
    const std::string_view argsPart = input.substr(0, split);
    const std::string_view filePart =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    core::TCRTCmdLineTokenizer tokenizer(input);
    console::TCmdLineParser parser(WithoutAt(input));
    (void)parser.GetValue("title", "");
    console::ReadExitCodeBase(input);
    console::SetExitCodeBase(0);

    std::vector<std::string> args{"ravelcon"};
    std::size_t start = 0;
    while (start <= argsPart.size()) {
        const std::size_t end = argsPart.find('\0', start);
        args.push_back(WithoutAt(argsPart.substr(start, end - start)));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    // The title parser over the arguments as given (no file: their "@" are gone).
    console::TCmdLineParser argumentParser;
    argumentParser.SkipFirstToken = true;
    argumentParser.ParseArguments(args);
    (void)argumentParser.GetValue("title", "");
    if (std::FILE* f = std::fopen(OptionFilePath().c_str(), "wb")) {
        std::fwrite(filePart.data(), 1, filePart.size(), f);
        std::fclose(f);
        args.push_back("@" + OptionFilePath());
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    platform::SetProcessArguments(static_cast<int>(argv.size()), argv.data());
    console::TGridConsole gridConsole(console::ConsoleTitle, console::VisualStudio);
    gridConsole.ParseCommandLine();
    (void)build::JoinLeftoverOptions(gridConsole.Options);
    return 0;
}
