#include "proxy/HelperHosts.h"
#include "core/Errors.h"
#include "proxy/HelperState.h"

#include <gtest/gtest.h>

namespace {

using namespace build;

TEST(HelperHosts, DistccHostSyntax) {
    const std::vector<THelperHost> hosts =
        ParseHelperHosts("  10.1.2.3 builder:4000/8\tbob@far/2\n@near ");
    ASSERT_EQ(hosts.size(), 4u);
    EXPECT_EQ(hosts[0], (THelperHost{"10.1.2.3", "", 3632, 0, false}));
    EXPECT_EQ(hosts[1], (THelperHost{"builder", "", 4000, 8, false}));
    EXPECT_EQ(hosts[2], (THelperHost{"far", "bob", 3632, 2, true}));
    EXPECT_EQ(hosts[3], (THelperHost{"near", "", 3632, 0, true}));
    EXPECT_EQ(DistccHostText(hosts[1], 3), "builder:4000/3");
    EXPECT_EQ(DistccHostText(hosts[2], 2), "bob@far/2");
    EXPECT_EQ(HelperName(hosts[3]), "@near");
    EXPECT_TRUE(ParseHelperHosts(" \t\n").empty());
}

TEST(HelperHosts, BadWordsAreRefusedByName) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"host:0", "port"},         {"host:70000", "port"},
        {"host:12x", "port"},       {"host/0", "limit"},
        {"host/999", "limit"},      {"host/", "limit"},
        {"host,lzo", "options"},    {"host,cpp,lzo", "options"},
        {"localhost", "no helper"}, {"LOCALHOST:3632", "no helper"},
        {"a b a", "named twice"},   {"-x", "host name"},
        {":3632", "host name"},     {"b!d@h", "user name"},
        {"@h:22", "no port"},       {"h_st", "host name"},
        {"@", "host name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseHelperHosts(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const core::EGeneralError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(HelperHosts, AllowedNetworksMustMakeSense) {
    EXPECT_EQ(ParseAllowedNetworks("10.0.0.0/8 192.168.1.7", false),
              (std::vector<std::string>{"10.0.0.0/8", "192.168.1.7"}));
    EXPECT_EQ(ParseAllowedNetworks("0.0.0.0/0", true), (std::vector<std::string>{"0.0.0.0/0"}));
    const struct {
        const char* text;
        const char* message;
    } cases[] = {{"", "none are set"},           {"  ", "none are set"},
                 {"0.0.0.0/0", "every address"}, {"10.0.0.0/8 1.2.3.4/0", "every address"},
                 {"10.0.0/8", "not an IPv4"},    {"10.0.0.256", "not an IPv4"},
                 {"10.0.0.0/33", "not an IPv4"}, {"host/8", "not an IPv4"},
                 {"::1/128", "not an IPv4"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseAllowedNetworks(c.text, false);
            ADD_FAILURE() << "accepted";
        } catch (const core::EGeneralError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(HelperState, RoundTripAndRefusals) {
    THelperState state;
    state.AgentPid = 42;
    state.WrittenAt = 1000;
    THelperStatus status;
    status.Host = ParseHelperHosts("h1:4000/3").front();
    status.Probed = true;
    status.Reachable = true;
    status.Slots = 3;
    status.ProbedAt = 999;
    status.TasksRun = 7;
    status.Compilers = {{"gcc", ""}, {"cc", "its compiler is \"other\""}};
    state.Helpers.push_back(status);
    status.Host = ParseHelperHosts("u@h2").front();
    status.Reachable = false;
    status.Message = "refused";
    state.Helpers.push_back(status);
    EXPECT_EQ(HelperStateFromJson(HelperStateToJson(state)), state);

    for (const char* bad :
         {"", "[]", "{}", "{\"agentPid\":1,\"writtenAt\":1}",
          "{\"agentPid\":1,\"writtenAt\":1,\"helpers\":[1]}",
          "{\"agentPid\":1,\"writtenAt\":1,\"helpers\":[{\"host\":\"a b\"}]}",
          "{\"agentPid\":\"1\",\"writtenAt\":1,\"helpers\":[]}",
          "{\"agentPid\":1,\"writtenAt\":1,\"helpers\":[{\"host\":\"h\",\"probed\":true,"
          "\"reachable\":true,\"slots\":999,\"probedAt\":1,\"tasksRun\":1,\"message\":\"\","
          "\"compilers\":{}}]}"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(HelperStateFromJson(bad), core::EGeneralError);
    }
}

} // namespace
