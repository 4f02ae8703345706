#include "core/OptionFile.h"

#include "core/Errors.h"
#include "platform/Files.h"

namespace core {

std::string ReadOptionFile(const std::string& fileName) {
    std::string content;
    std::string error;
    // One byte more than allowed tells a file at the limit from a larger one.
    const platform::TFileReadResult result =
        platform::ReadWholeFile(fileName, content, MaxOptionFileSize + 1, &error);
    if (result == platform::TFileReadResult::Ok && content.size() > MaxOptionFileSize) {
        core::Raise(EGeneralError("Failed to read file: " + fileName +
                                  "\r\nAn option file may hold at most " +
                                  std::to_string(MaxOptionFileSize) + " bytes."));
    }
    if (result != platform::TFileReadResult::Ok) {
        try {
            core::Raise(EOSError(error, 0));
        } catch (...) {
            RethrowWrapped("Failed to read file: " + fileName);
        }
    }
    return content;
}

} // namespace core
