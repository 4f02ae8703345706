#include "comm/ProductInfo.h"

#include "platform/Paths.h"

#include <mutex>

namespace comm {

namespace {
std::mutex loaderMutex;
std::unique_ptr<TProductInfo> loader;
} // namespace

std::string DefaultProductInfoFileName() {
    return platform::IncludeTrailingDelimiter(
               platform::ExtractFileDir(platform::ProgramFileName())) +
           "info.dat";
}

TProductInfo::TProductInfo(std::string name)
    : fileName(std::move(name)), record(std::make_unique<records::TProductInformationPacket>()) {
    if (platform::FileExists(fileName)) {
        record->LoadFromFile(fileName);
        loaded = true;
    }
    registryName = record->ProductCaption;
}

TProductInfo& TProductInfo::Get(std::string_view fileName) {
    const std::lock_guard lock(loaderMutex);
    if (loader && loader->loaded) {
        return *loader;
    }
    loader.reset();
    records::RegisterProductInformationPacket();
    loader.reset(
        new TProductInfo(fileName.empty() ? DefaultProductInfoFileName() : std::string(fileName)));
    return *loader;
}

void TProductInfo::Release() {
    const std::lock_guard lock(loaderMutex);
    loader.reset();
}

std::string TProductInfo::RegistryProductName() const {
    if (!explicitName.empty()) {
        return explicitName;
    }
    return registryName;
}

std::string AgentSettingsKey() {
    return "SOFTWARE\\Tavrix\\" + TProductInfo::Get().RegistryProductName();
}

} // namespace comm
