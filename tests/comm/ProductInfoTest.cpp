// The product information loader looks again until it finds the file.
#include "comm/ProductInfo.h"
#include "../platform/TestProcess.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

TEST(ProductInfo, MissingFileGivesDefaultsUntilItAppears) {
    records::RegisterAllPacketClasses();
    testing_support::TTempDir dir;
    const std::string file = dir.Path() + "/info.dat";
    comm::TProductInfo::Release();
    comm::TProductInfo& missing = comm::TProductInfo::Get(file);
    EXPECT_FALSE(missing.Loaded());
    EXPECT_TRUE(missing.GridServiceID().IsNull());
    EXPECT_EQ(missing.RegistryProductName(), "Morvek");

    records::TProductInformationPacket written;
    written.GridServiceID = core::NewGuid();
    written.ProductCaption = "MorvekTest";
    written.SaveToFile(file);
    comm::TProductInfo& found = comm::TProductInfo::Get(file);
    EXPECT_TRUE(found.Loaded());
    EXPECT_EQ(found.GridServiceID(), written.GridServiceID);
    EXPECT_EQ(found.RegistryProductName(), "MorvekTest");

    // Once read, the same record serves every later call.
    std::filesystem::remove(file);
    EXPECT_EQ(&comm::TProductInfo::Get(file), &found);
    found.SetRegistryProductName("Other");
    EXPECT_EQ(found.RegistryProductName(), "Other");

    // A damaged file is the record engine's load error.
    comm::TProductInfo::Release();
    std::ofstream(file, std::ios::binary) << "garbage";
    EXPECT_THROW(comm::TProductInfo::Get(file), std::exception);
    comm::TProductInfo::Release();
}
