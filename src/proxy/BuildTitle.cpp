#include "platform/AsciiCase.h"
#include "platform/Paths.h"
#include "proxy/BuildProxy.h"

namespace build {

std::string TBuildProxy::GetBuildTitle(const records::TBuildCommandPacket& request) {
    if (!request.Caption.empty()) {
        return request.Caption;
    }
    std::string title =
        platform::FileNameWithoutExt(platform::ToNativeSeparators(request.PrimaryFilename));
    bool ascii = true;
    for (const char c : request.PrimaryFilename) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii && !title.empty()) {
        title[0] = platform::UpperAscii(title[0]);
    }
    return title;
}

} // namespace build
