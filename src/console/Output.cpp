#include "console/GridConsole.h"
#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "packets/TextUtil.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "proxy/BuildProxy.h"

#include <cstdio>
#include <ctime>

namespace console {

namespace {
constexpr std::string_view NoticeLine = "Copyright (C) Tavrix. All rights reserved.";

std::unique_ptr<platform::TFileWriter> CreateFile(const std::string& path,
                                                  platform::TFileWriter::TMode mode) {
    std::string error;
    std::unique_ptr<platform::TFileWriter> file = platform::TFileWriter::Create(path, mode, &error);
    if (!file) {
        core::Raise(core::EOSError("Cannot create file \"" + path + "\". " + error, 0));
    }
    return file;
}

std::string LocalDateTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return buffer;
}

// Build output arrives as UTF-8 and is printed in the system code page (UTF-8 too): a
// malformed sequence prints as U+FFFD within its own line, every other line as it came.
std::string ToAnsi(std::string_view utf8) {
    return packets::ValidUtf8(utf8);
}
} // namespace

void TGridConsole::LoseFile(std::unique_ptr<platform::TFileWriter>& file, const std::string& path,
                            std::string_view failure, const std::string& error) {
    // Reported once: the file is written no more, and the run cannot end with 0.
    platform::WriteStdErr(std::string(failure) + " \"" + path + "\". " + error + "\r\n");
    file.reset();
    OutputLost = true;
}

void TGridConsole::WriteToFile(std::unique_ptr<platform::TFileWriter>& file,
                               std::string_view bytes) {
    std::string error;
    if (!file->Write(bytes, &error)) {
        LoseFile(file, file->Path(), "Cannot write file", error);
    }
}

void TGridConsole::WriteLine(std::string_view text, bool toStdErr) {
    std::string line(text);
    line += "\r\n";
    if (LogStream) {
        WriteToFile(LogStream, line);
    }
    if (Silent) {
        return;
    }
    if (OutReady && !OutFileName.empty()) {
        if (!OutStream && !OutFileFailed) {
            const std::string path = platform::ExpandPath(OutFileName, CurrentDir);
            std::string error;
            OutStream =
                platform::TFileWriter::Create(path, platform::TFileWriter::TMode::Append, &error);
            if (!OutStream) {
                LoseFile(OutStream, path, "Cannot create file", error);
                OutFileFailed = true;
            }
        }
        if (OutStream) {
            WriteToFile(OutStream, line);
            OutFileFailed = !OutStream;
        }
        return;
    }
    HideStatus();
    if (toStdErr) {
        platform::WriteStdErr(line);
    } else {
        platform::WriteStdOut(line);
    }
    ShowStatus();
}

bool TGridConsole::StatusEnabled() const {
    return StdOutIsConsole && !Silent && !StatusEnded && OutFileName.empty() && LogFileName.empty();
}

void TGridConsole::ShowStatus() {
    if (!StatusEnabled()) {
        return;
    }
    const std::string text = Status.Text();
    if (!text.empty()) {
        platform::WriteStdOut(TStatusLine::Draw(text));
        StatusShown = true;
    }
}

void TGridConsole::HideStatus() {
    if (StatusShown) {
        platform::WriteStdOut(TStatusLine::Clear());
        StatusShown = false;
    }
}

void WriteBanner(std::string_view title) {
    const std::size_t width = std::max(title.size(), NoticeLine.size());
    const std::string rule(width, '-');
    std::string banner = "\r\n" + rule + "\r\n";
    banner += title;
    banner += "\r\n";
    banner += NoticeLine;
    banner += "\r\n" + rule + "\r\n" + "\r\n";
    std::fwrite(banner.data(), 1, banner.size(), stdout);
    std::fflush(stdout);
}

void TGridConsole::ExpandTitleMacros(std::string& fileName) const {
    if (!OptionsParsed) {
        core::Raise(core::EGeneralError("Assertion failed: title macros need the parsed options"));
    }
    if (fileName.find("Title") == std::string::npos) {
        return;
    }
    const std::string title = build::TBuildProxy::GetBuildTitle(BuildCommand);
    for (const std::string_view macro : {"$(Title)", "$[Title]", "${Title}"}) {
        fileName = core::ReplaceText(fileName, macro, title);
    }
}

void TGridConsole::OpenLogFile(std::string_view fileName) {
    const std::string path = platform::ExpandPath(fileName, CurrentDir);
    // Created empty and closed first, so a failing reopen leaves no stale log behind.
    CreateFile(path, platform::TFileWriter::TMode::Truncate).reset();
    LogStream = CreateFile(path, platform::TFileWriter::TMode::Append);
    LogFileName = path;
    const std::string rule(Title.size(), '-');
    const std::string date = LocalDateTime();
    const std::size_t used = date.size() + 9;
    const std::string gap(Title.size() > used ? Title.size() - used : 0, ' ');
    WriteToFile(LogStream, rule + "\r\n" + Title + "\r\n" + rule + "\r\n" + "Build Log" + gap +
                               date + "\r\n" + rule + "\r\n" + "\r\n");
}

void TGridConsole::WriteOutputEvent(std::string_view text, std::string_view errText) {
    if (!text.empty()) {
        WriteLine(ToAnsi(text));
    }
    if (!errText.empty()) {
        WriteLine(ToAnsi(errText), true);
    }
}

} // namespace console
