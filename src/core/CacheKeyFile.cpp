#include "core/CacheKeyFile.h"

#include "platform/Files.h"

namespace core {

std::string
CacheKeyText(const std::vector<std::string>& names,
             const std::function<std::optional<std::string>(std::string_view)>& valueOf) {
    std::string text;
    for (const std::string& name : names) {
        const std::optional<std::string> value = valueOf(name);
        if (value) {
            text += name + "=" + std::to_string(value->size()) + ":" + *value + "\n";
        } else {
            text += name + " unset\n";
        }
    }
    return text;
}

bool WriteCacheKeyFile(const std::string& path, const std::vector<std::string>& names,
                       const std::function<std::optional<std::string>(std::string_view)>& valueOf,
                       std::string* errorText) {
    const auto file =
        platform::TFileWriter::Create(path, platform::TFileWriter::TMode::CreateNew, errorText);
    return file && file->Write(CacheKeyText(names, valueOf), errorText);
}

} // namespace core
