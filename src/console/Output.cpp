#include "console/GridConsole.h"
#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "proxy/BuildProxy.h"

#include <cstdio>
#include <ctime>

namespace console {

namespace {
constexpr std::string_view NoticeLine = "Copyright (C) Tavrix. All rights reserved.";

void WriteTo(platform::TFileWriter& file, std::string_view bytes) {
    std::string error;
    if (!file.Write(bytes, &error)) {
        throw core::EOSError("Stream write error: " + file.Path() + "\r\n" + error, 0);
    }
}

std::unique_ptr<platform::TFileWriter> CreateFile(const std::string& path,
                                                  platform::TFileWriter::TMode mode) {
    std::string error;
    std::unique_ptr<platform::TFileWriter> file = platform::TFileWriter::Create(path, mode, &error);
    if (!file) {
        throw core::EOSError("Cannot create file \"" + path + "\". " + error, 0);
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

// Build output arrives as UTF-8 and is printed in the system code page; text that
// does not convert prints as an empty line.
std::string ToAnsi(std::string_view utf8) {
    std::u16string wide;
    std::string ansi;
    if (!platform::Utf8ToUtf16(utf8, wide) || !platform::Utf16ToUtf8(wide, ansi)) {
        return {};
    }
    return ansi;
}
} // namespace

void TGridConsole::WriteLine(std::string_view text, bool toStdErr) {
    std::string line(text);
    line += "\r\n";
    if (LogStream) {
        WriteTo(*LogStream, line);
    }
    if (Silent) {
        return;
    }
    if (OutReady && !OutFileName.empty()) {
        if (!OutStream) {
            OutStream = CreateFile(platform::ExpandPath(OutFileName, CurrentDir),
                                   platform::TFileWriter::TMode::Append);
        }
        WriteTo(*OutStream, line);
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
        throw core::EGeneralError("Assertion failed: title macros need the parsed options");
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
    WriteTo(*LogStream, rule + "\r\n" + Title + "\r\n" + rule + "\r\n");
    WriteTo(*LogStream, "Build Log" + gap + date + "\r\n" + rule + "\r\n" + "\r\n");
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
