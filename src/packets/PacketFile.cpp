// Packet files. Files are written from a buffer in memory in one go and read whole
// into memory; the bytes are those of the stream form either way.
#include "core/Errors.h"
#include "packets/Packet.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace packets {

namespace {

namespace fs = std::filesystem;

bool IsReadOnly(const std::string& path) {
    std::error_code ec;
    auto st = fs::status(path, ec);
    return !ec && fs::is_regular_file(st) &&
           (st.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                                fs::perms::others_write)) == fs::perms::none;
}

void WriteFile(const std::string& name, const TMemoryStream& data, TPacketSaveOptions options) {
    if (IsReadOnly(name))
        core::Raise(core::EGeneralError("Cannot overwrite a read-only file: " + name));
    std::string error;
    auto file = platform::TFileWriter::Create(name, platform::TFileWriter::TMode::Truncate, &error);
    if (!file && (options & psoCreateFolder)) {
        std::string dir = platform::ExtractFileDir(name);
        if (!dir.empty() && !platform::DirectoryExists(dir) &&
            platform::ForceDirectories(dir, &error))
            file =
                platform::TFileWriter::Create(name, platform::TFileWriter::TMode::Truncate, &error);
    }
    if (!file)
        core::Raise(core::EOSError("Cannot create file: " + name + "\r\n" + error, 0));
    if (!file->Write(data.Text(), &error))
        core::Raise(core::EOSError("Cannot write file: " + name + "\r\n" + error, 0));
}

} // namespace

void TPacket::SaveToFile(const std::string& fileName, TPacketSaveOptions options) const {
    if (options & psoViaTempFile) {
        std::error_code ec;
        if (fs::exists(fs::symlink_status(fileName, ec))) {
            if (IsReadOnly(fileName))
                core::Raise(core::EGeneralError("Failed to delete file '" + fileName +
                                                "'\r\nCannot delete a read-only file"));
            if (!fs::remove(fileName, ec) || ec)
                core::Raise(core::EOSError(
                    "Failed to delete file '" + fileName + "'\r\n" + ec.message(), ec.value()));
        }
        std::string temp = fileName + ".temp";
        SaveToFile(temp, options & ~psoViaTempFile);
        fs::rename(temp, fileName, ec);
        if (ec)
            core::Raise(core::EOSError("Failed to move file '" + temp + "' to '" + fileName +
                                           "'\r\n" + ec.message(),
                                       ec.value()));
        return;
    }
    // psoMappedFile gives the same bytes; the buffer is written with one call.
    TMemoryStream data;
    SaveToStream(data, nullptr, options & ~(psoCreateFolder | psoMappedFile));
    WriteFile(fileName, data, options);
}

void TPacket::LoadFromFile(const std::string& fileName, TPacketLoadOptions options) {
    try {
        std::string bytes;
        std::string error;
        int attempts = (options & ploWaitForFile) ? 80 : 1;
        for (int attempt = 1;; ++attempt) {
            auto result = platform::ReadWholeFile(fileName, bytes, SIZE_MAX, &error);
            if (result == platform::TFileReadResult::Ok)
                break;
            // A missing file or folder will not appear by waiting.
            bool missing = !platform::FileExists(fileName);
            if (attempt >= attempts || missing)
                core::Raise(core::EOSError("Cannot open file: " + fileName + "\r\n" + error, 0));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        TMemoryStream data(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        LoadFromStream(data, nullptr, options & ~ploWaitForFile);
    } catch (...) {
        core::RethrowWrapped("Failed to load packet " + std::string(ClassName()) + " from file " +
                             fileName);
    }
}

} // namespace packets
