#include "vs/ParamRules.h"

#include <gtest/gtest.h>

namespace {

core::TStringListEx List(std::initializer_list<const char*> items) {
    core::TStringListEx list;
    for (const char* item : items) {
        list.Add(item);
    }
    return list;
}

std::vector<std::string> Add(const char* tool, std::initializer_list<const char*> target,
                             std::initializer_list<const char*> adds) {
    core::TStringListEx list = List(target);
    vs::AddSwitches(*vs::FindParamRule(tool), List(adds), list);
    return list.Strings();
}

std::vector<std::string> Subtract(const char* tool, std::initializer_list<const char*> target,
                                  std::initializer_list<const char*> subtracts) {
    core::TStringListEx list = List(target);
    vs::SubtractSwitches(*vs::FindParamRule(tool), List(subtracts), list);
    return list.Strings();
}

using V = std::vector<std::string>;

TEST(ParamRules, Lookup) {
    EXPECT_EQ(vs::FindParamRule("CPP")->Name(), "CL");
    EXPECT_EQ(vs::FindParamRule("RSC")->Name(), "RC");
    EXPECT_EQ(vs::FindParamRule("MTL")->Name(), "MIDL");
    EXPECT_EQ(vs::FindParamRule("LINK32")->Name(), "LINK");
    EXPECT_EQ(vs::FindParamRule("BSC32"), nullptr);
    const vs::TParamRule& cl = *vs::FindParamRule("CPP");
    EXPECT_EQ(cl.SwitchName("/Ob1"), "Ob1");
    EXPECT_EQ(cl.SwitchName("-D_DEBUG"), "D");
    EXPECT_EQ(cl.SwitchName("/Yu\"stdafx.h\""), "Yu");
    EXPECT_EQ(cl.SwitchName("/unknown"), "u"); // the longest known prefix
    EXPECT_EQ(cl.SwitchName("plain"), "");
    EXPECT_EQ(vs::SwitchValue(cl, "/Yu \"stdafx.h\""), "stdafx.h");
}

TEST(ParamRules, ClGroups) {
    EXPECT_EQ(Add("CPP", {"/O2", "/Ob1"}, {"/Od"}), (V{"/Ob1", "/Od"}));
    EXPECT_EQ(Add("CPP", {"/Ob1", "/Od"}, {"/ZI"}), (V{"/Od", "/ZI"}));
    EXPECT_EQ(Add("CPP", {"/W3"}, {"/W4"}), (V{"/W4"}));
    EXPECT_EQ(Add("CPP", {"/W4"}, {"/w"}), (V{"/w"}));
    EXPECT_EQ(Add("CPP", {"/MD", "/nologo"}, {"/MT"}), (V{"/nologo", "/MT"}));
    EXPECT_EQ(Add("CPP", {"/W3"}, {"/W3"}), (V{"/W3"})); // replaced in place
}

TEST(ParamRules, SeparatedAndRepeatableValues) {
    EXPECT_EQ(Add("CPP", {"/D", "NDEBUG"}, {"/D", "_DEBUG"}), (V{"/D NDEBUG", "/D _DEBUG"}));
    EXPECT_EQ(Add("CPP", {"/D NDEBUG"}, {"/D", "NDEBUG"}), (V{"/D NDEBUG"}));
    EXPECT_EQ(Add("CPP", {"/I", "inc"}, {"extra"}), (V{"/I inc", "extra"}));
    // Yu keeps its header when added without one; its group still applies.
    EXPECT_EQ(Add("CPP", {"/Yu\"stdafx.h\"", "/YX"}, {"/Yu"}), (V{"/Yu\"stdafx.h\""}));
    EXPECT_EQ(Add("CPP", {"/Yu\"a.h\""}, {"/Yu\"b.h\""}), (V{"/Yu\"b.h\""}));
    EXPECT_EQ(Add("MTL", {"/nologo"}, {"/new", "/win32"}), (V{"/nologo", "/win32"}));
    EXPECT_EQ(Add("MTL", {"/win64"}, {"/win32"}), (V{"/win32"}));
}

TEST(ParamRules, Subtract) {
    EXPECT_EQ(Subtract("CPP", {"/O2", "-Zi", "/nologo"}, {"/Z<none>"}), (V{"/O2", "/nologo"}));
    EXPECT_EQ(Subtract("CPP", {"/Yu\"stdafx.h\"", "/W3"}, {"/Yu"}), (V{"/W3"}));
    EXPECT_EQ(Subtract("CPP", {"/D A", "/D B"}, {"/D", "B"}), (V{"/D A"}));
    EXPECT_EQ(Subtract("RSC", {"/l 0x409", "/d NDEBUG"}, {"/d", "NDEBUG"}), (V{"/l 0x409"}));
}

TEST(ParamRules, LinkIncremental) {
    EXPECT_EQ(Subtract("LINK32", {"/incremental:yes"}, {"/incremental:yes"}),
              (V{"/incremental:no"}));
    EXPECT_EQ(Add("LINK32", {"/nologo", "-INCREMENTAL:no"}, {"/incremental:YES"}),
              (V{"/nologo", "-INCREMENTAL:yes"}));
    EXPECT_EQ(Add("LINK32", {"/nologo"}, {"/incremental:no"}), (V{"/nologo", "/incremental:no"}));
    EXPECT_EQ(Subtract("LINK32", {}, {"/incremental:no"}), (V{"/incremental:yes"}));
}

TEST(ParamRules, EmptyLinesLeaveTheTargetAlone) {
    EXPECT_EQ(Add("CPP", {"/D", "X"}, {}), (V{"/D", "X"}));
    EXPECT_EQ(Subtract("CPP", {"/D", "X"}, {}), (V{"/D", "X"}));
}

} // namespace
