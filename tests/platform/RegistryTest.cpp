#include "platform/Registry.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace testing_support;

namespace {

const bool childActions = RegisterChildActions({
    {"reg-write",
     [](const std::vector<std::string>& a) {
         auto key = TRegistryKey::Create(TRegRoot::LocalMachine, "SOFTWARE\\Race");
         const int count = std::stoi(a[1]);
         for (int i = 0; i < count; ++i) {
             key->WriteInteger(a[0] + std::to_string(i), static_cast<std::uint32_t>(i));
         }
         return 0;
     }},
});

constexpr std::string_view Fixture =
    "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; comment\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n"
    "@=\"default\"\r\n"
    "\"Folder\"=\"/opt/morvek\"\r\n"
    "\"Quoted\"=\"a \\\"b\\\" c\\\\d\"\r\n"
    "\"HideWindow\"=dword:0000000a\r\n"
    "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  03\r\n"
    "\"Gone\"=\"x\"\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\VSDirs\\16.0]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Log]\r\n"
    "\"Level\"=dword:00000001\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n";

TEST(RegHive, ParsesEveryValueFormAndKeepsItThroughAWrite) {
    const TRegHive hive = TRegHive::Parse(Fixture, "HKEY_LOCAL_MACHINE", "fixture.reg");
    const TRegKeyData* builder = hive.FindKey("software\\TAVRIX\\morvek\\builder");
    ASSERT_NE(builder, nullptr);
    EXPECT_EQ(builder->Path, "SOFTWARE\\Tavrix\\Morvek\\Builder");
    ASSERT_NE(builder->Find(""), nullptr);
    EXPECT_EQ(builder->Find("")->Data, "default");
    EXPECT_EQ(builder->Find("folder")->Data, "/opt/morvek");
    EXPECT_EQ(builder->Find("Quoted")->Data, "a \"b\" c\\d");
    EXPECT_EQ(builder->Find("HideWindow")->Type, TRegValueType::DWord);
    EXPECT_EQ(builder->Find("HideWindow")->Data, std::string("\x0a\0\0\0", 4));
    EXPECT_EQ(builder->Find("Big")->Type, TRegValueType::QWord);
    EXPECT_EQ(builder->Find("Blob")->Type, TRegValueType::Binary);
    EXPECT_EQ(builder->Find("Blob")->Data, "\x01\x02\x03");
    EXPECT_EQ(builder->Find("Gone"), nullptr);
    EXPECT_EQ(hive.FindKey("SOFTWARE\\Old"), nullptr);
    EXPECT_NE(hive.FindKey("SOFTWARE\\Tavrix"), nullptr) << "parents exist";
    EXPECT_EQ(hive.SubKeyNames("SOFTWARE\\Tavrix\\Morvek"),
              (std::vector<std::string>{"Builder", "VSDirs", "Log"}));

    const std::string written = hive.Serialize("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(TRegHive::Parse(written, "HKEY_LOCAL_MACHINE", "again.reg"), hive);

    // Text that cannot stand on one line and odd sizes survive too.
    TRegHive odd;
    odd.SetValue("K", TRegValue{"multi", TRegValueType::String, "line1\r\nline2"});
    odd.SetValue("K", TRegValue{"short", TRegValueType::DWord, "\x01"});
    odd.SetValue("K", TRegValue{"long", TRegValueType::Binary, std::string(200, '\x7f')});
    odd.SetValue("", TRegValue{"", TRegValueType::MultiString, std::string("a\0b\0", 4)});
    EXPECT_EQ(TRegHive::Parse(odd.Serialize("HKEY_CURRENT_USER"), "HKEY_CURRENT_USER", "o.reg"),
              odd);
}

TEST(RegHive, AcceptsUtf16WithByteOrderMark) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n"
                             "\"N\"=\"v\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (const char c : text) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    const TRegHive hive = TRegHive::Parse(utf16, "HKEY_CURRENT_USER", "u.reg");
    ASSERT_NE(hive.FindKey("K"), nullptr);
    EXPECT_EQ(hive.FindKey("K")->Find("N")->Data, "v");
}

TEST(RegHive, MalformedTextNamesFileAndLine) {
    const struct {
        const char* text;
        int line;
    } cases[] = {
        {"REGEDIT5\n", 1},
        {"", 1},
        {"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\\n\"\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\" x\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n",
         3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:xyz\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:1,2\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(q):01\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\na=\"b\"\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"\"b\"\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=text\n", 3},
    };
    for (const auto& c : cases) {
        try {
            TRegHive::Parse(c.text, "HKEY_LOCAL_MACHINE", "/etc/x.reg");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const TRegistryError& e) {
            const std::string expected = "\"/etc/x.reg\", line " + std::to_string(c.line) + ":";
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos)
                << e.what() << " for " << c.text;
        }
    }
}

class RegistryStoreTest : public ::testing::Test {
protected:
    RegistryStoreTest()
        : env("TAVRIX_REGISTRY_DIR", dir.Path() + "/etc"),
          config("XDG_CONFIG_HOME", dir.Path() + "/config") {}
    TTempDir dir;
    TScopedEnv env;
    TScopedEnv config;
};

TEST_F(RegistryStoreTest, MissingHiveIsEmptyAndWritesCreateIt) {
    EXPECT_EQ(TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix"), nullptr);
    ASSERT_NE(TRegistryKey::Open(TRegRoot::LocalMachine, ""), nullptr);
    EXPECT_TRUE(TRegistryKey::CanWrite(TRegRoot::LocalMachine));

    auto key = TRegistryKey::Create(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix\\Morvek\\Log");
    key->WriteInteger("Level", 3);
    key->WriteBool("Debug", true);
    key->WriteString("", "log settings");
    key->WriteString("Name", "x");

    auto read = TRegistryKey::Open(TRegRoot::LocalMachine, "software\\tavrix\\morvek\\log");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->ReadInteger("Level"), 3);
    EXPECT_EQ(read->ReadBool("debug"), true);
    EXPECT_EQ(read->ReadString(""), "log settings");
    EXPECT_EQ(read->ReadString("Missing"), std::nullopt);
    EXPECT_THROW(read->ReadInteger("Name"), TRegistryError);
    EXPECT_THROW(read->ReadString("Level"), TRegistryError);
    EXPECT_THROW(read->WriteString("Name", "y"), TRegistryError) << "opened for reading";

    auto parent = TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix\\Morvek", true);
    parent->CreateSubKey("Builder")->WriteString("Folder", "/opt");
    EXPECT_EQ(parent->SubKeyNames(), (std::vector<std::string>{"Log", "Builder"}));
    EXPECT_EQ(parent->OpenSubKey("BUILDER")->ReadString("Folder"), "/opt");
    EXPECT_TRUE(parent->OpenSubKey("Log", true)->DeleteValue("Name"));
    EXPECT_FALSE(read->ValueExists("Name"));

    // Classes are the machine hive's SOFTWARE\Classes.
    TRegistryKey::Create(TRegRoot::ClassesRoot, ".sln")->WriteString("", "VisualStudio.Launcher");
    EXPECT_EQ(TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Classes\\.sln")->ReadString(""),
              "VisualStudio.Launcher");
    EXPECT_TRUE(TRegistryKey::DeleteKey(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix"));
    EXPECT_EQ(TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix\\Morvek\\Log"), nullptr);

    // The user hive is the user's own file, never in the shared registry folder.
    TRegistryKey::Create(TRegRoot::CurrentUser, "K")->WriteInteger("V", 1);
    EXPECT_EQ(TRegistryKey::Open(TRegRoot::LocalMachine, "K"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/config/tavrix/user.reg"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/etc/user.reg"));
}

TEST_F(RegistryStoreTest, MalformedHiveOnDiskIsAnError) {
    std::filesystem::create_directories(dir.Path() + "/etc");
    {
        std::ofstream out(dir.Path() + "/etc/machine.reg");
        out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=bad\n";
    }
    try {
        TRegistryKey::Open(TRegRoot::LocalMachine, "A");
        ADD_FAILURE() << "accepted";
    } catch (const TRegistryError& e) {
        EXPECT_NE(std::string(e.what()).find("machine.reg\", line 4"), std::string::npos)
            << e.what();
    }
}

TEST_F(RegistryStoreTest, UnwritableHiveIsRefusedForWriting) {
    std::filesystem::create_directories(dir.Path() + "/blocker");
    { std::ofstream(dir.Path() + "/blocker/file") << "x"; }
    TScopedEnv blocked("TAVRIX_REGISTRY_DIR", dir.Path() + "/blocker/file/etc");
    EXPECT_FALSE(TRegistryKey::CanWrite(TRegRoot::LocalMachine));
    EXPECT_THROW(TRegistryKey::Open(TRegRoot::LocalMachine, "", true), TRegistryError);
    EXPECT_THROW(TRegistryKey::Create(TRegRoot::LocalMachine, "A"), TRegistryError);
}

TEST_F(RegistryStoreTest, ConcurrentWritersLoseNoUpdate) {
    constexpr int perProcess = 150;
    const pid_t a = SpawnChild("reg-write", {"a", std::to_string(perProcess)});
    const pid_t b = SpawnChild("reg-write", {"b", std::to_string(perProcess)});
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    auto key = TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Race");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->ValueNames().size(), 2u * perProcess);
    EXPECT_EQ(key->ReadInteger("a149"), 149);
    EXPECT_EQ(key->ReadInteger("b0"), 0);
}

} // namespace
