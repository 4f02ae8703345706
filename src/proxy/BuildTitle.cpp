#include "proxy/BuildProxy.h"
#include "platform/Paths.h"

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
    if (ascii && !title.empty() && title[0] >= 'a' && title[0] <= 'z') {
        title[0] = static_cast<char>(title[0] - 32);
    }
    return title;
}

} // namespace build
