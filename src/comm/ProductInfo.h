#pragma once
// The product information of the installation: "info.dat" beside the program, a
// record file naming the agent service's channel GUID and the product's registry
// name. A missing file is looked for again on every call until one is found; once
// read, the same record serves the whole process.
#include "core/Guid.h"
#include "records/ServicePackets.h"

#include <memory>
#include <string>
#include <string_view>

namespace comm {

class TProductInfo {
public:
    // The process-wide loader. `fileName` replaces "info.dat" beside the program.
    static TProductInfo& Get(std::string_view fileName = {});
    // Forgets the loader (tests).
    static void Release();

    const records::TProductInformationPacket& Record() const { return *record; }
    const core::TGUID& GridServiceID() const { return record->GridServiceID; }
    // The name under "SOFTWARE\Tavrix\" that holds the agent's settings.
    std::string RegistryProductName() const;
    void SetRegistryProductName(std::string_view name) { explicitName = name; }
    const std::string& FileName() const { return fileName; }
    bool Loaded() const { return loaded; }

private:
    explicit TProductInfo(std::string fileName);
    std::string fileName;
    std::unique_ptr<records::TProductInformationPacket> record;
    std::string registryName;
    std::string explicitName;
    bool loaded = false;
};

// "info.dat" in the folder of the running program.
std::string DefaultProductInfoFileName();
// "SOFTWARE\Tavrix\" + the registry product name.
std::string AgentSettingsKey();

} // namespace comm
