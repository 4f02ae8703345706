#include "viewer/OutputFile.h"

#include "core/Errors.h"
#include "platform/Files.h"

namespace viewer {

namespace {
constexpr std::size_t BufferSize = 1 << 20;
}

TOutputFile::TOutputFile(const std::string& path) : path(path) {
    std::string error;
    file = platform::TFileWriter::Create(path, platform::TFileWriter::TMode::Truncate, &error);
    if (!file) {
        core::Raise(core::EOSError("Cannot create file \"" + path + "\". " + error, 0));
    }
    buffer.reserve(BufferSize);
}

TOutputFile::~TOutputFile() = default;

void TOutputFile::Write(std::string_view text) {
    if (!file) {
        core::Raise(core::EGeneralError("The file \"" + path + "\" is already closed."));
    }
    buffer.append(text);
    if (buffer.size() >= BufferSize) {
        Flush();
    }
}

void TOutputFile::Flush() {
    std::string error;
    if (!buffer.empty() && !file->Write(buffer, &error)) {
        core::Raise(core::EOSError("Cannot write file \"" + path + "\". " + error, 0));
    }
    buffer.clear();
}

void TOutputFile::Close() {
    if (file) {
        Flush();
        file.reset();
    }
}

} // namespace viewer
