#include "core/ToolCommandLine.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace core {

namespace {

std::string_view FileNameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsVersionText(std::string_view text) {
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
           });
}

// "x86_64-linux-gnu-gcc-12" -> "gcc"; "clang++-15" -> "clang++"; "llvm-ar" -> "ar".
std::string_view CoreToolName(std::string_view path) {
    std::string_view name = FileNameOf(path);
    if (const auto dash = name.rfind('-');
        dash != std::string_view::npos && IsVersionText(name.substr(dash + 1))) {
        name = name.substr(0, dash);
    }
    if (const auto dash = name.rfind('-'); dash != std::string_view::npos) {
        name = name.substr(dash + 1);
    }
    return name;
}

std::string ReplaceExtension(std::string_view path, std::string_view extension) {
    std::string name(FileNameOf(path));
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name + std::string(extension);
}

bool IsSourceFile(std::string_view path) {
    static constexpr std::array<std::string_view, 20> Extensions = {
        ".c", ".cc", ".cp", ".cpp", ".cxx", ".c++", ".C", ".CPP", ".m",  ".mm",
        ".M", ".i",  ".ii", ".mi",  ".mii", ".s",   ".S", ".sx",  ".cu", ".ixx"};
    const std::string_view name = FileNameOf(path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    return std::find(Extensions.begin(), Extensions.end(), name.substr(dot)) != Extensions.end();
}

bool Contains(std::initializer_list<std::string_view> list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

} // namespace

bool DriverTakesArgument(std::string_view word) {
    return Contains({"-o",
                     "-x",
                     "-I",
                     "-D",
                     "-U",
                     "-L",
                     "-l",
                     "-T",
                     "-u",
                     "-z",
                     "-e",
                     "-B",
                     "-G",
                     "-include",
                     "-imacros",
                     "-isystem",
                     "-idirafter",
                     "-iprefix",
                     "-iwithprefix",
                     "-iwithprefixbefore",
                     "-isysroot",
                     "-iquote",
                     "-imultilib",
                     "-cxx-isystem",
                     "-MF",
                     "-MT",
                     "-MQ",
                     "-MJ",
                     "-Xlinker",
                     "-Xassembler",
                     "-Xpreprocessor",
                     "-Xclang",
                     "-Xcuda-ptxas",
                     "-aux-info",
                     "--param",
                     "-target",
                     "-arch",
                     "-mllvm",
                     "-ivfsoverlay",
                     "-resource-dir",
                     "-gcc-toolchain",
                     "--sysroot",
                     "--include",
                     "--include-directory",
                     "--output",
                     "--language",
                     "-specs",
                     "-dumpdir",
                     "-dumpbase",
                     "-dumpbase-ext",
                     "-F",
                     "-framework"},
                    word);
}

namespace {

TToolCall ClassifyDriver(const std::vector<std::string>& argv) {
    bool compile = false, assembleOnly = false, preprocess = false, depsOnly = false;
    bool probe = false, responseFile = false, outputToStdout = false, depsFile = false;
    std::string output;
    std::vector<std::string> inputs, sources;
    bool explicitLanguage = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "-") {
            inputs.push_back(word);
            continue;
        }
        if (word.empty() || word[0] != '-') {
            if (!word.empty() && word[0] == '@') {
                responseFile = true;
                continue;
            }
            inputs.push_back(word);
            if (explicitLanguage || IsSourceFile(word)) {
                sources.push_back(word);
            }
            continue;
        }
        if (word == "-c") {
            compile = true;
        } else if (word == "-S") {
            assembleOnly = true;
        } else if (word == "-E") {
            preprocess = true;
        } else if (word == "-M" || word == "-MM") {
            depsOnly = true;
        } else if (word == "--version" || word == "-dumpmachine" || word == "-dumpversion" ||
                   word == "-dumpfullversion" || word == "-dumpspecs" || word == "-###" ||
                   word == "--help" || word == "--target-help" || StartsWith(word, "--help=") ||
                   StartsWith(word, "-print-") || StartsWith(word, "--print-")) {
            probe = true;
        } else if (DriverTakesArgument(word)) {
            if (i + 1 < argv.size()) {
                const std::string& value = argv[++i];
                if (word == "-o" || word == "--output") {
                    output = value;
                } else if (word == "-x" || word == "--language") {
                    explicitLanguage = value != "none";
                } else if (word == "-MF") {
                    depsFile = true;
                }
            }
        } else if (StartsWith(word, "-o")) {
            output = word.substr(2);
        } else if (StartsWith(word, "--output=")) {
            output = word.substr(9);
        } else if (StartsWith(word, "-x")) {
            explicitLanguage = word.substr(2) != "none";
        } else if (StartsWith(word, "-MF")) {
            depsFile = true;
        }
    }
    outputToStdout = output.empty() || output == "-";
    TToolCall call;
    if (probe || (inputs.empty() && !responseFile)) {
        call.kind = TToolCallKind::Probe;
        return call;
    }
    const std::string source = !sources.empty()  ? sources.front()
                               : !inputs.empty() ? inputs.front()
                                                 : std::string();
    if (preprocess || depsOnly) {
        const bool toFile = !outputToStdout || (depsOnly && !preprocess && depsFile);
        if (!toFile) {
            call.kind = TToolCallKind::Probe;
            return call;
        }
        call.kind = TToolCallKind::Preprocess;
        call.source = source;
        call.output = outputToStdout ? std::string() : output;
    } else if (compile || assembleOnly) {
        call.kind = TToolCallKind::Compile;
        call.source = source;
        if (!output.empty()) {
            call.output = output;
        } else if (!source.empty() && source != "-") {
            call.output = ReplaceExtension(source, assembleOnly ? ".s" : ".o");
        }
    } else {
        call.kind = TToolCallKind::Link;
        call.source = sources.empty() ? std::string() : sources.front();
        call.output = output.empty() ? "a.out" : output;
        call.caption = std::string(FileNameOf(call.output));
        return call;
    }
    call.caption = std::string(
        FileNameOf(call.source.empty() || call.source == "-" ? call.output : call.source));
    return call;
}

// Linker options whose value is the next word when not joined.
bool LinkerTakesArgument(std::string_view word) {
    return Contains({"-o",
                     "-L",
                     "-l",
                     "-T",
                     "-e",
                     "-m",
                     "-z",
                     "-h",
                     "-u",
                     "-y",
                     "-Y",
                     "-R",
                     "-I",
                     "-F",
                     "-f",
                     "-G",
                     "-A",
                     "-b",
                     "-O",
                     "-P",
                     "-soname",
                     "-rpath",
                     "-rpath-link",
                     "-dynamic-linker",
                     "-plugin",
                     "-plugin-opt",
                     "-format",
                     "-Map",
                     "-Ttext",
                     "-Tdata",
                     "-Tbss",
                     "--output",
                     "--library-path",
                     "--library",
                     "--script",
                     "--entry",
                     "--undefined",
                     "--soname",
                     "--rpath",
                     "--rpath-link",
                     "--version-script",
                     "--dynamic-list",
                     "--defsym",
                     "--dynamic-linker",
                     "--plugin",
                     "--plugin-opt",
                     "--exclude-libs",
                     "--wrap",
                     "--trace-symbol",
                     "--retain-symbols-file",
                     "--just-symbols",
                     "--filter",
                     "--auxiliary",
                     "--format",
                     "--architecture",
                     "--section-start",
                     "--image-base",
                     "--Map",
                     "--dependency-file",
                     "--sysroot"},
                    word);
}

TToolCall ClassifyLinker(const std::vector<std::string>& argv) {
    bool probe = false, responseFile = false;
    std::string output;
    std::size_t inputs = 0;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word.empty() || word[0] != '-') {
            if (!word.empty() && word[0] == '@') {
                responseFile = true;
            } else {
                ++inputs;
            }
        } else if (word == "--version" || word == "-v" || word == "-V" || word == "--help" ||
                   StartsWith(word, "--print-") || word == "--target-help") {
            probe = true;
        } else if (LinkerTakesArgument(word)) {
            if (i + 1 < argv.size()) {
                const std::string& value = argv[++i];
                if (word == "-o" || word == "--output") {
                    output = value;
                } else if (word == "-l" || word == "--library") {
                    ++inputs;
                }
            }
        } else if (StartsWith(word, "--output=")) {
            output = word.substr(9);
        } else if (StartsWith(word, "-o") && word.size() > 2 && word[2] != '-') {
            output = word.substr(2);
        } else if (StartsWith(word, "-l") || StartsWith(word, "--library=")) {
            ++inputs;
        }
    }
    TToolCall call;
    if (probe || (inputs == 0 && !responseFile)) {
        call.kind = TToolCallKind::Probe;
        return call;
    }
    call.kind = TToolCallKind::Link;
    call.output = output.empty() ? "a.out" : output;
    call.caption = std::string(FileNameOf(call.output));
    return call;
}

TToolCall ClassifyArchiver(std::string_view coreName, const std::vector<std::string>& argv) {
    TToolCall call;
    call.kind = TToolCallKind::Probe;
    std::vector<std::string> positional;
    bool responseFile = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "--version" || word == "--help" || word == "-V" || word == "-v" ||
            word == "-h" || word == "-t" ||
            (coreName == "ar" && positional.empty() && word == "V")) {
            return call;
        }
        if (word == "--plugin" || word == "--target" || word == "--output") {
            ++i;
        } else if (StartsWith(word, "--")) {
            continue;
        } else if (!word.empty() && word[0] == '@') {
            responseFile = true;
        } else {
            positional.push_back(word);
        }
    }
    if (coreName == "ranlib") {
        if (positional.empty()) {
            return call;
        }
        call.output = positional.front();
    } else {
        if (positional.empty()) {
            if (responseFile) {
                call.kind = TToolCallKind::Archive;
            }
            return call;
        }
        std::string operation = positional.front();
        if (!operation.empty() && operation[0] == '-') {
            operation.erase(0, 1);
        }
        // Listing, printing and extracting write no archive.
        if (operation.find_first_of("tpx") != std::string::npos) {
            return call;
        }
        std::size_t archive = 1;
        if (operation.find_first_of("abi") != std::string::npos) {
            ++archive; // the position member
        }
        if (operation.find('N') != std::string::npos) {
            ++archive; // the instance count
        }
        if (archive >= positional.size()) {
            if (responseFile) {
                call.kind = TToolCallKind::Archive;
            }
            return call;
        }
        call.output = positional[archive];
    }
    call.kind = TToolCallKind::Archive;
    call.caption = std::string(FileNameOf(call.output));
    return call;
}

TToolCall ClassifyAssembler(const std::vector<std::string>& argv) {
    TToolCall call;
    call.kind = TToolCallKind::Probe;
    std::string output;
    std::vector<std::string> inputs;
    bool responseFile = false;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "--version" || word == "--help" || word == "-v" || word == "-version" ||
            word == "--target-help" || word == "-V") {
            return call;
        }
        if (word == "-o" || word == "-I" || word == "--defsym" || word == "--MD" ||
            word == "-march" || word == "-mcpu") {
            if (i + 1 < argv.size()) {
                if (word == "-o") {
                    output = argv[i + 1];
                }
                ++i;
            }
        } else if (StartsWith(word, "-o") && word.size() > 2) {
            output = word.substr(2);
        } else if (!word.empty() && word[0] == '@') {
            responseFile = true;
        } else if (word == "-" || word.empty() || word[0] != '-') {
            inputs.push_back(word);
        }
    }
    if (inputs.empty() && output.empty() && !responseFile) {
        return call;
    }
    call.kind = TToolCallKind::Assemble;
    call.source = inputs.empty() ? std::string() : inputs.front();
    call.output = output.empty() ? "a.out" : output;
    call.caption = std::string(
        FileNameOf(call.source.empty() || call.source == "-" ? call.output : call.source));
    return call;
}

} // namespace

TToolFamily ToolFamilyOf(std::string_view toolPath) {
    const std::string_view name = CoreToolName(toolPath);
    if (Contains({"cc", "c++", "gcc", "g++", "clang", "clang++"}, name)) {
        return TToolFamily::Driver;
    }
    if (Contains({"ld", "ld.bfd", "ld.gold", "ld.lld", "lld", "gold"}, name)) {
        return TToolFamily::Linker;
    }
    if (Contains({"ar", "ranlib"}, name)) {
        return TToolFamily::Archiver;
    }
    if (name == "as") {
        return TToolFamily::Assembler;
    }
    return TToolFamily::Unknown;
}

TToolCall ClassifyToolCall(std::string_view toolPath, const std::vector<std::string>& argv) {
    switch (ToolFamilyOf(toolPath)) {
    case TToolFamily::Driver:
        return ClassifyDriver(argv);
    case TToolFamily::Linker:
        return ClassifyLinker(argv);
    case TToolFamily::Archiver:
        return ClassifyArchiver(CoreToolName(toolPath), argv);
    case TToolFamily::Assembler:
        return ClassifyAssembler(argv);
    case TToolFamily::Unknown:
        break;
    }
    TToolCall call;
    call.kind = TToolCallKind::Other;
    call.caption = std::string(FileNameOf(toolPath));
    return call;
}

TTaskKind TaskKindOf(TToolCallKind kind) {
    switch (kind) {
    case TToolCallKind::Compile:
        return TTaskKind::Compile;
    case TToolCallKind::Link:
        return TTaskKind::Link;
    case TToolCallKind::Archive:
        return TTaskKind::Archive;
    case TToolCallKind::Assemble:
        return TTaskKind::Assemble;
    default:
        return TTaskKind::Other;
    }
}

} // namespace core
