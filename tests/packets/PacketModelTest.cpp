#include "TestPackets.h"

#include "packets/PacketStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace testpackets;
using core::TGUID;

namespace {

class PacketModelTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterTestPackets(); }

    static int Index(const TPacket& p, std::string_view name) {
        int i = p.FieldIndex(name);
        EXPECT_GE(i, 0) << name;
        return i;
    }
};

// Every registered class: unique names and GUIDs, and a new object survives a save
// and load in both forms unchanged, and equals itself after Clear.
TEST_F(PacketModelTest, EveryRegisteredClassIsConsistent) {
    std::set<TGUID> guids;
    auto classes = RegisteredPacketClasses();
    ASSERT_FALSE(classes.empty());
    EXPECT_EQ(classes.front(), &TPacket::StaticClass());
    for (const TPacketClass* cls : classes) {
        SCOPED_TRACE(std::string(cls->Name()));
        EXPECT_TRUE(guids.insert(cls->ClassGUID()).second);
        EXPECT_EQ(FindPacketClass(cls->ClassGUID()), cls);
        EXPECT_EQ(FindPacketClassById(cls->RegistrationId()), cls);
        std::set<std::string_view> names;
        for (int i = 0; i < cls->FieldCount(); ++i) {
            EXPECT_FALSE(cls->FieldName(i).empty());
            EXPECT_TRUE(names.insert(cls->FieldName(i)).second) << cls->FieldName(i);
            EXPECT_EQ(cls->FieldIndex(cls->FieldName(i)), i);
        }
        auto fresh = cls->Create();
        for (bool compact : {false, true}) {
            TMemoryStream stream;
            TPacketSaveContext saveContext;
            TPacketLoadContext loadContext;
            fresh->SaveToStream(stream, compact ? &saveContext : nullptr);
            stream.SetPosition(0);
            auto loaded = TPacket::CreateFromStream(stream, compact ? &loadContext : nullptr);
            EXPECT_EQ(stream.Position(), stream.Size());
            EXPECT_TRUE(loaded->IsEqual(*fresh));
        }
        auto cleared = fresh->Clone();
        cleared->Clear();
        EXPECT_TRUE(cleared->IsEqual(*fresh));
    }
}

TEST_F(PacketModelTest, RegistrationIsIdempotentAndLookupsMissCleanly) {
    const auto& cls = TAllTypesPacket::StaticClass();
    std::int32_t id = cls.RegistrationId();
    auto before = RegisteredPacketClasses().size();
    RegisterPacketClass(cls);
    EXPECT_EQ(cls.RegistrationId(), id);
    EXPECT_EQ(RegisteredPacketClasses().size(), before);
    EXPECT_EQ(TUnregisteredPacket::StaticClass().RegistrationId(), -1);
    EXPECT_EQ(FindPacketClass(TUnregisteredPacket::StaticClass().ClassGUID()), nullptr);
    EXPECT_EQ(FindPacketClassById(0), nullptr);
    EXPECT_EQ(FindPacketClassById(65535), nullptr);
}

TEST_F(PacketModelTest, ClassMetadata) {
    TCommPacket comm;
    EXPECT_EQ(TPacket::StaticClass().FieldCount(), 0);
    EXPECT_EQ(comm.FieldCount(), 0);
    EXPECT_EQ(comm.Class().ClassGUID().ToString(), "{47BF5205-8993-41F5-98E9-03CB6EA34D1E}");
    // Own fields of a class on the comm base start at 0.
    TTestRequestPacket request;
    EXPECT_EQ(request.FieldIndex("Code"), 0);

    const auto& cls = TAllTypesPacket::StaticClass();
    EXPECT_EQ(cls.FieldCount(), 26);
    EXPECT_EQ(cls.FieldIndex("name"), -1); // case-sensitive
    int name = cls.FieldIndex("Name");
    EXPECT_EQ(cls.FieldCaption(name), "Display Name");
    EXPECT_EQ(cls.FieldCaption(0), "Flag");
    int lines = cls.FieldIndex("Lines");
    EXPECT_EQ(cls.FieldItemName(lines), "Line");
    EXPECT_EQ(cls.FieldItemCaption(lines), "Text Line");
    EXPECT_EQ(cls.FieldItemCaption(cls.FieldIndex("Items")), "Item");
    EXPECT_EQ(cls.FieldDescription(name), "TAllTypesPacket.Name");
    EXPECT_EQ(cls.FieldDescription(99), "TAllTypesPacket.");

    const std::pair<const char*, TPacketFieldKind> kinds[] = {
        {"Flag", TPacketFieldKind::pfkBoolean},    {"Small", TPacketFieldKind::pfkInteger},
        {"Color", TPacketFieldKind::pfkNone},      {"Packed", TPacketFieldKind::pfkInteger},
        {"When", TPacketFieldKind::pfkFloat},      {"Id", TPacketFieldKind::pfkNone},
        {"Options", TPacketFieldKind::pfkNone},    {"Wide", TPacketFieldKind::pfkString},
        {"Lines", TPacketFieldKind::pfkObject},    {"Opt", TPacketFieldKind::pfkObject},
        {"Small16", TPacketFieldKind::pfkInteger}, {"Notes", TPacketFieldKind::pfkObject},
    };
    for (auto [field, kind] : kinds)
        EXPECT_EQ(cls.FieldKind(cls.FieldIndex(field)), kind) << field;
}

TEST_F(PacketModelTest, ConstructorAndClearApplyTheSameDefaults) {
    TAllTypesPacket p;
    EXPECT_TRUE(p.Flag);
    EXPECT_EQ(p.Small, 255);
    EXPECT_EQ(p.Signed8, -1);
    EXPECT_EQ(p.Color, TColor::Blue);
    EXPECT_EQ(p.Count, -1);
    EXPECT_EQ(p.When, 1.5);
    EXPECT_EQ(p.Version, "-1");
    p.Version = "2";
    p.Small16 = 9;
    p.Notes.Add("n");
    p.Flag = false;
    p.Count = 5;
    p.Name = "x";
    p.Lines.Add("a");
    p.Inner.Value = 3;
    p.Opt.Create().Value = 4;
    p.Items.AddNew();
    p.Data.Write("abc", 3);
    p.Numbers = {1};
    p.Options.Include(TOption::Ninth);
    TInnerPacket* inner = &p.Inner;
    TInnerPacket* opt = p.Opt.Get();
    p.Clear();
    TAllTypesPacket fresh;
    fresh.Opt.Create(); // a present optional member stays present, cleared
    EXPECT_TRUE(p.IsEqual(fresh));
    EXPECT_EQ(&p.Inner, inner);
    EXPECT_EQ(p.Opt.Get(), opt);
}

TEST_F(PacketModelTest, IntegerAccess) {
    TAllTypesPacket p;
    int big = Index(p, "Big");
    p.Big = (std::int64_t{1} << 32) + 5;
    EXPECT_EQ(p.GetFieldAsInteger(big), 5);
    p.SetFieldAsInteger(big, -1);
    EXPECT_EQ(p.Big, -1);
    p.SetFieldAsInteger("Flag", 0);
    EXPECT_FALSE(p.Flag);
    EXPECT_EQ(p.GetFieldAsInteger("Flag"), 0);
    p.SetFieldAsInteger("Small", 0x1FF);
    EXPECT_EQ(p.Small, 0xFF);
    p.CodePage = 4000000000u;
    EXPECT_EQ(static_cast<std::uint32_t>(p.GetFieldAsInteger("CodePage")), 4000000000u);
    EXPECT_EQ(p.GetFieldAsString("CodePage"), "4000000000");
    EXPECT_EQ(p.GetFieldAsString("Signed8"), "-1");
}

TEST_F(PacketModelTest, DoubleRoundsHalfToEven) {
    TAllTypesPacket p;
    const std::pair<double, std::int32_t> cases[] = {{2.5, 2}, {3.5, 4},   {-2.5, -2}, {2.4, 2},
                                                     {2.6, 3}, {-3.5, -4}, {0.5, 0}};
    for (auto [in, out] : cases) {
        p.SetFieldAsDouble("Count", in);
        EXPECT_EQ(p.Count, out) << in;
    }
    p.SetFieldAsDouble("When", 2.25);
    EXPECT_EQ(p.GetFieldAsDouble("When"), 2.25);
    p.Count = -4;
    EXPECT_EQ(p.GetFieldAsDouble("Count"), -4.0);
    EXPECT_THROW(p.SetFieldAsDouble("Count", std::nan("")), core::EConvertError);
}

TEST_F(PacketModelTest, StringAccess) {
    TAllTypesPacket p;
    const std::pair<const char*, bool> bools[] = {{"TRUE", true}, {"true", true}, {"True", true},
                                                  {"yes", false}, {"1", false},   {"", false}};
    for (auto [text, value] : bools) {
        p.SetFieldAsString("Flag", text);
        EXPECT_EQ(p.Flag, value) << text;
    }
    p.Count = 9;
    p.SetFieldAsString("Count", "");
    EXPECT_EQ(p.Count, 0);
    p.SetFieldAsString("Count", "-123");
    EXPECT_EQ(p.Count, -123);
    try {
        p.SetFieldAsString("Count", "abc");
        FAIL();
    } catch (const core::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
    EXPECT_THROW(p.SetFieldAsString("Count", "99999999999"), core::EConvertError);
    EXPECT_EQ(p.Count, -123);
    p.SetFieldAsString("Big", "-7");
    EXPECT_EQ(p.Big, -7);

    p.SetFieldAsString("Lines", "a\r\nb\nc\rd");
    EXPECT_EQ(p.Lines.Count(), 4);
    EXPECT_EQ(p.GetFieldAsString("Lines"), "a\r\nb\r\nc\r\nd\r\n");
    p.SetFieldAsString("Wide", "Grüße €");
    EXPECT_EQ(p.Wide, u"Grüße €");
    EXPECT_EQ(p.GetFieldAsString("Wide"), "Grüße €");
    p.When = 45658.5;
    EXPECT_EQ(p.GetFieldAsString("When"), "4.566E4");
    p.When = 0.125;
    EXPECT_EQ(p.GetFieldAsString("When"), "0.125");
    p.SetFieldAsString("When", "12.75");
    EXPECT_EQ(p.When, 12.75);
    EXPECT_THROW(p.SetFieldAsString("When", "x"), core::EConvertError);
}

TEST_F(PacketModelTest, WrongTypeOrIndexNamesTheField) {
    TAllTypesPacket p;
    struct Case {
        std::function<void()> call;
        const char* message;
    };
    const Case cases[] = {
        {[&] { p.GetFieldAsInteger("Name"); }, "Cannot get field as integer: TAllTypesPacket.Name"},
        {[&] { p.GetFieldAsInteger("Color"); },
         "Cannot get field as integer: TAllTypesPacket.Color"},
        {[&] { p.SetFieldAsInteger("When", 1); },
         "Cannot set field as integer: TAllTypesPacket.When"},
        {[&] { p.GetFieldAsString("Id"); }, "Cannot get field as string: TAllTypesPacket.Id"},
        {[&] { p.SetFieldAsString("Inner", ""); },
         "Cannot set field as string: TAllTypesPacket.Inner"},
        {[&] { p.GetFieldAsDouble("Flag"); }, "Cannot get field as double: TAllTypesPacket.Flag"},
        {[&] { p.SetFieldAsDouble("Name", 1); },
         "Cannot set field as double: TAllTypesPacket.Name"},
        {[&] { p.GetFieldAsObject("Count"); }, "Cannot get field as object: TAllTypesPacket.Count"},
        {[&] { p.GetFieldAsString(26); }, "Cannot get field as string: TAllTypesPacket."},
        {[&] { p.GetFieldAsString("Nope"); }, "Cannot get field as string: TAllTypesPacket."},
        {[&] { TPacket().GetFieldAsInteger(0); }, "Cannot get field as integer: TPacket."},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.message;
        } catch (const core::EGeneralError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST_F(PacketModelTest, ObjectAccess) {
    TAllTypesPacket p;
    EXPECT_EQ(std::get<core::TStringListEx*>(p.GetFieldAsObject("Lines")), &p.Lines);
    EXPECT_EQ(std::get<TPacket*>(p.GetFieldAsObject("Inner")), &p.Inner);
    EXPECT_EQ(std::get<TPacket*>(p.GetFieldAsObject("Opt")), nullptr);
    EXPECT_EQ(std::get<TCustomPacketList*>(p.GetFieldAsObject("Items")), &p.Items);
    EXPECT_EQ(std::get<TMemoryStream*>(p.GetFieldAsObject("Data")), &p.Data);
    EXPECT_EQ(std::get<std::vector<std::int64_t>*>(p.GetFieldAsObject("BigNumbers")),
              &p.BigNumbers);
}

TEST_F(PacketModelTest, OptionalMember) {
    TAllTypesPacket p;
    try {
        p.Required(p.Opt);
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(),
                     "Attempt to access uninitialized member object: TAllTypesPacket.Opt");
    }
    TInnerPacket source;
    source.Value = 8;
    p.Opt.Set(&source);
    EXPECT_NE(p.Opt.Get(), &source);
    EXPECT_EQ(p.Required(p.Opt).Value, 8);
    p.Opt.Set(nullptr);
    EXPECT_FALSE(p.Opt.Present());
}

TEST_F(PacketModelTest, FieldText) {
    TAllTypesPacket p;
    std::string text;
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Id"), text), 1);
    EXPECT_EQ(text, "{00000000-0000-0000-0000-000000000000}");
    p.Name = std::string("a\0b", 3);
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Name"), text), 1);
    EXPECT_EQ(text, "'a b'");
    EXPECT_EQ(p.Name.size(), 3u);
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Options"), text), 0);
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Color"), text), 0);
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Os"), text), 0);
    p.Data.Write("abc", 3);
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Data"), text), 1);
    EXPECT_EQ(text, "(size = 3)");
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Opt"), text), 1);
    EXPECT_EQ(text, "(null)");
    p.When = 46366.0 + (4 * 3600 + 43 * 60 + 14) / 86400.0;
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("When"), text), 1);
    EXPECT_EQ(text, "2026-12-10 04:43:14");
    EXPECT_EQ(p.GetFieldText(p.FieldIndex("Items"), text), 2);
    EXPECT_EQ(text, "(empty list)");
}

TEST_F(PacketModelTest, DumpIndentsMultiLineValues) {
    TAllTypesPacket p;
    p.Lines.Add("a");
    p.Lines.Add("b");
    p.Items.AddNew().Name = "one";
    p.Items.AddNew().Name = "two";
    core::TStringListEx dump;
    p.DumpToStrings(dump);
    const auto& lines = dump.Strings();
    EXPECT_EQ(lines[0], "(TAllTypesPacket)");
    EXPECT_EQ(lines[1], "  Flag = True");
    auto at = std::find(lines.begin(), lines.end(), "  Lines = ");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(at[1], "    a");
    EXPECT_EQ(at[2], "    b");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  Options = (?)"), lines.end());
    at = std::find(lines.begin(), lines.end(), "  Items = ");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(at[1], "    [1/2]");
    EXPECT_EQ(at[2], "    (TInnerPacket)");
    EXPECT_EQ(at[3], "      Name = 'one'");
    EXPECT_EQ(at[4], "      Value = 0");
    EXPECT_EQ(at[5], "    ");
    EXPECT_EQ(at[6], "    [2/2]");
}

TEST_F(PacketModelTest, EqualityAndFieldComparison) {
    TAllTypesPacket a, b;
    EXPECT_TRUE(a.IsEqual(b));
    b.Count = 1;
    b.Lines.Add("x");
    b.Items.AddNew();
    std::vector<int> diffs;
    EXPECT_FALSE(a.CompareFields(b, [&](int i) { diffs.push_back(i); }));
    EXPECT_EQ(diffs, (std::vector<int>{a.FieldIndex("Count"), a.FieldIndex("Lines"),
                                       a.FieldIndex("Items")}));
    // Lines compare with their associated objects too.
    a.Lines.Add("x", &a);
    b.Lines.Clear();
    b.Lines.Add("x");
    EXPECT_FALSE(a.IsEqual(b));
    int lines = a.FieldIndex("Lines");
    diffs.clear();
    a.CompareFields(b, [&](int i) { diffs.push_back(i); });
    EXPECT_NE(std::find(diffs.begin(), diffs.end(), lines), diffs.end());

    // Different classes: -1 once, no field compared.
    TInnerPacket other;
    diffs.clear();
    EXPECT_FALSE(a.IsEqual(other));
    EXPECT_FALSE(a.CompareFields(other, [&](int i) { diffs.push_back(i); }));
    EXPECT_EQ(diffs, std::vector<int>{-1});

    // DateTime compares the 8 bytes: 0.0 and -0.0 differ.
    TAllTypesPacket c, d;
    c.When = 0.0;
    d.When = -0.0;
    EXPECT_FALSE(c.IsEqual(d));
    // Optional members: one present, one absent.
    c.When = d.When;
    c.Opt.Create();
    EXPECT_FALSE(c.IsEqual(d));
    d.Opt.Create();
    EXPECT_TRUE(c.IsEqual(d));
}

TEST_F(PacketModelTest, AssignAndCloneCopyDeeply) {
    TAllTypesPacket a;
    a.Name = "n";
    a.Wide = u"wide text";
    a.Lines.Add("l");
    a.Inner.Name = "inner";
    a.Opt.Create().Value = 2;
    a.Items.AddNew().Value = 3;
    a.Data.Write("xyz", 3);
    a.Numbers = {1, 2};
    a.BigNumbers = {3};
    a.Options.Include(TOption::Last);
    a.Os.Major = 10;
    a.Id = TGUID::Literal("{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D99}");
    auto copy = a.Clone();
    ASSERT_EQ(&copy->Class(), &a.Class());
    auto& b = static_cast<TAllTypesPacket&>(*copy);
    EXPECT_TRUE(b.IsEqual(a));
    EXPECT_NE(&b.Items.Items(0), &a.Items.Items(0));
    EXPECT_NE(b.Opt.Get(), a.Opt.Get());
    b.Items.Items(0).Value = 99;
    EXPECT_EQ(a.Items.Items(0).Value, 3);

    TAllTypesPacket c;
    c.Opt.Create();
    a.Opt.Reset();
    c.Assign(a);
    EXPECT_FALSE(c.Opt.Present());
    EXPECT_TRUE(c.IsEqual(a));
    EXPECT_THROW(c.Assign(TInnerPacket()), core::EAssertionFailed);
}

TEST_F(PacketModelTest, LiveInstanceCounters) {
    const auto& cls = TInnerPacket::StaticClass();
    int before = cls.InstanceCount();
    {
        TInnerPacket one;
        auto two = cls.Create();
        TAllTypesPacket holder; // one inner member, no optional one
        EXPECT_EQ(cls.InstanceCount(), before + 3);
    }
    EXPECT_EQ(cls.InstanceCount(), before);
    EXPECT_EQ(TPacket::StaticClass().InstanceCount(), 0);
}

TEST_F(PacketModelTest, Lists) {
    TInnerPacketList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.ListToText(), "(empty list)");
    list.AddNew().Value = 1;
    list.AddChecked(std::make_unique<TInnerPacket>());
    EXPECT_THROW(list.AddChecked(std::make_unique<TEmptyTestPacket>()), core::EAssertionFailed);
    EXPECT_EQ(list.Count(), 2);
    try {
        list.Items(2);
        FAIL();
    } catch (const core::ERangeError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (2)");
    }
    TInnerPacketList copy;
    copy.Assign(list);
    EXPECT_TRUE(copy.IsEqual(list));
    copy.AddCopies(list);
    EXPECT_EQ(copy.Count(), 4);
    EXPECT_FALSE(copy.IsEqual(list));
    TCustomPacketList any;
    any.Add(std::make_unique<TEmptyTestPacket>());
    EXPECT_THROW(list.AddCopies(any), core::EAssertionFailed);
    EXPECT_EQ(list.ListToText().substr(0, 7), "[1/2]\r\n");
}

TEST_F(PacketModelTest, DuplicateHandlesTranslatesNonZeroHandles) {
    TAllTypesPacket p;
    int calls = 0;
    p.DuplicateHandles([&](THandleValue h) {
        ++calls;
        return h + 1;
    });
    EXPECT_EQ(calls, 0);
    p.Handle = 7;
    p.DuplicateHandles([](THandleValue h) { return h * 10; });
    EXPECT_EQ(p.Handle, 70u);
}

TEST_F(PacketModelTest, SetMembers) {
    TOptions set{TOption::First, TOption::Last};
    EXPECT_TRUE(set.Contains(TOption::Last));
    EXPECT_EQ(set.Bytes()[7], 0x80);
    EXPECT_EQ(set.Bytes()[0], 0x01);
    set.Exclude(TOption::First);
    EXPECT_FALSE(set.Contains(TOption::First));
    TSmallSet small;
    small.Include(TOption::Ninth); // beyond one byte: ignored
    EXPECT_TRUE(small.Empty());
}

} // namespace
