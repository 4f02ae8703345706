#include "proxy/SharedCacheServer.h"

#include "core/Errors.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(SharedCacheServer, SettingsNameAServerAndItsPassword) {
    const build::TSharedCacheServer shared =
        build::ParseSharedCacheServer("cache.example:6379", "s3cret-1\nignored\n");
    EXPECT_EQ(shared.Server, "cache.example:6379");
    EXPECT_EQ(shared.Password, "s3cret-1");
    EXPECT_EQ(build::ParseSharedCacheServer("", "pw").Server, "");
    EXPECT_EQ(build::ParseSharedCacheServer("10.0.0.1:1", "").Password, "");
}

TEST(SharedCacheServer, MalformedSettingsAreRefused) {
    const struct {
        const char* server;
        const char* password;
        const char* message;
    } cases[] = {
        {"cache.example", "", "is not host:port"},
        {":6379", "", "is not host:port"},
        {"cache.example:", "", "is not host:port"},
        {"cache.example:123456", "", "is not host:port"},
        {"cache.example:0", "", "port out of range"},
        {"cache.example:70000", "", "port out of range"},
        {"cache.example:63a9", "", "has no port number"},
        {"user@cache.example:6379", "", "names no host"},
        {"cache.example:6379", "pass@word", "letters, digits"},
        {"cache.example:6379", "pass word", "letters, digits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server + std::string(" ") + c.password);
        try {
            build::ParseSharedCacheServer(c.server, c.password);
            ADD_FAILURE() << "accepted";
        } catch (const core::EGeneralError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(SharedCacheServer, APasswordFileOthersCouldChangeIsRefused) {
    const std::string file =
        fs::temp_directory_path() / ("ravel-shared-pw-" + std::to_string(::getpid()));
    std::ofstream(file) << "team\n";
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(build::ReadSharedCacheServer("127.0.0.1:7000", file).Password, "team");
    ::chmod(file.c_str(), 0666);
    EXPECT_THROW(build::ReadSharedCacheServer("127.0.0.1:7000", file), core::EGeneralError);
    fs::remove(file);
    EXPECT_THROW(build::ReadSharedCacheServer("127.0.0.1:7000", file), core::EGeneralError);
}

} // namespace
