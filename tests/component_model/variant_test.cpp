// Automation values: references and the conversions between types.
#include <gtest/gtest.h>

#include <tarsel/automation.h>

namespace tarselctl {
namespace {

struct Conversion {
    Variant from;
    VarType to;
    Status status;
    Variant expected;
};

std::string Name(const Conversion& c) {
    return c.from.Describe() + " -> " + std::to_string(static_cast<int>(c.to));
}

TEST(VariantTest, ConvertsAsAutomationDoes) {
    const Variant S = Variant();
    const Conversion cases[] = {
        // Text to numbers: blanks around the digits, a sign, the truth words.
        {Variant::FromString(u" 30 "), VarType::Long, S_OK, Variant::FromLong(30)},
        {Variant::FromString(u"-2147483648"), VarType::Long, S_OK, Variant::FromLong(-2147483647 - 1)},
        {Variant::FromString(u"+7"), VarType::Integer, S_OK, Variant::FromInteger(7)},
        {Variant::FromString(u"true"), VarType::Long, S_OK, Variant::FromLong(-1)},
        {Variant::FromString(u"thirty"), VarType::Long, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u""), VarType::Long, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u"3 0"), VarType::Long, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u"+-3"), VarType::Long, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u"３"), VarType::Long, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u"2147483648"), VarType::Long, DISP_E_OVERFLOW, S},
        {Variant::FromString(u"99999999999999999999999"), VarType::Long, DISP_E_OVERFLOW, S},
        {Variant::FromString(u"32768"), VarType::Integer, DISP_E_OVERFLOW, S},
        // Between the numbers, range-checked.
        {Variant::FromLong(-32768), VarType::Integer, S_OK, Variant::FromInteger(-32768)},
        {Variant::FromLong(40000), VarType::Integer, DISP_E_OVERFLOW, S},
        {Variant::FromInteger(-3), VarType::Long, S_OK, Variant::FromLong(-3)},
        {Variant::FromBoolean(True), VarType::Integer, S_OK, Variant::FromInteger(-1)},
        // Truth values.
        {Variant::FromLong(2), VarType::Boolean, S_OK, Variant::FromBoolean(True)},
        {Variant::FromInteger(0), VarType::Boolean, S_OK, Variant::FromBoolean(False)},
        {Variant::FromString(u"FALSE"), VarType::Boolean, S_OK, Variant::FromBoolean(False)},
        {Variant::FromString(u"-1"), VarType::Boolean, S_OK, Variant::FromBoolean(True)},
        {Variant::FromString(u"0"), VarType::Boolean, S_OK, Variant::FromBoolean(False)},
        {Variant::FromString(u"yes"), VarType::Boolean, DISP_E_TYPEMISMATCH, S},
        // To text.
        {Variant::FromBoolean(True), VarType::String, S_OK, Variant::FromString(u"True")},
        {Variant::FromLong(-42), VarType::String, S_OK, Variant::FromString(u"-42")},
        // The empty value is "", 0 and False.
        {Variant(), VarType::String, S_OK, Variant::FromString(u"")},
        {Variant(), VarType::Long, S_OK, Variant::FromLong(0)},
        {Variant(), VarType::Boolean, S_OK, Variant::FromBoolean(False)},
        // Byte arrays have no other form, and nothing becomes one.
        {Variant::FromBytes({0, {1}}), VarType::String, DISP_E_TYPEMISMATCH, S},
        {Variant::FromString(u"ab"), VarType::ByteArray, DISP_E_TYPEMISMATCH, S},
        {Variant::FromBytes({3, {1, 2}}), VarType::ByteArray, S_OK, Variant::FromBytes({3, {1, 2}})},
    };
    for (const Conversion& c : cases) {
        SCOPED_TRACE(Name(c));
        Variant out = Variant::FromString(u"untouched");
        EXPECT_EQ(c.from.ConvertTo(c.to, out), c.status);
        if (c.status == S_OK) {
            EXPECT_EQ(out, c.expected) << out.Describe();
            EXPECT_FALSE(out.IsByRef());
        } else {
            EXPECT_EQ(out, Variant::FromString(u"untouched"));
        }
    }
}

TEST(VariantTest, ReferencesReadAndWriteTheCallersStorage) {
    String text = u"before";
    SafeByteArray bytes{1, {9}};
    Integer number = 4;
    Variant textRef = Variant::RefString(&text);
    Variant bytesRef = Variant::RefBytes(&bytes);
    const Variant copy = textRef;  // a copy refers to the same storage

    EXPECT_TRUE(textRef.IsByRef());
    EXPECT_EQ(textRef.Type(), VarType::String);
    *textRef.StringPtr() = u"after";
    bytesRef.BytesPtr()->Elements.push_back(10);
    EXPECT_EQ(text, u"after");
    EXPECT_EQ(copy.AsString(), u"after");
    EXPECT_EQ(bytes.Elements, (ByteArray{9, 10}));
    EXPECT_EQ(bytesRef.AsBytes().LowerBound, 1);

    // Dereferenced copies hold their own value.
    Variant held = textRef.Dereferenced();
    text = u"changed again";
    EXPECT_FALSE(held.IsByRef());
    EXPECT_EQ(held.AsString(), u"after");
    // A reference converts like its value.
    Variant converted;
    EXPECT_EQ(Variant::RefInteger(&number).ConvertTo(VarType::String, converted), S_OK);
    EXPECT_EQ(converted.AsString(), u"4");
    EXPECT_EQ(Variant::RefInteger(&number), Variant::FromInteger(4));

    EXPECT_THROW(Variant::RefString(nullptr), std::invalid_argument);
}

TEST(VariantTest, TypedAccessIsExact) {
    // Boolean and Integer share their 16 bits but not their type.
    const Variant flag = Variant::FromBoolean(7);
    EXPECT_EQ(flag.AsBoolean(), True);
    EXPECT_THROW(flag.AsInteger(), std::invalid_argument);
    EXPECT_FALSE(flag == Variant::FromInteger(-1));
    Variant number = Variant::FromInteger(-1);
    EXPECT_EQ(number.BooleanPtr(), nullptr);
    EXPECT_THROW(Variant().AsString(), std::invalid_argument);
    // A referenced Boolean written with a stray value still reads as True.
    Boolean raw = 1;
    EXPECT_EQ(Variant::RefBoolean(&raw).AsBoolean(), True);
}

TEST(GuidTest, TextFormRoundTripsAndRejectsMalformedText) {
    const Guid g{0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
    const std::string text = GuidToString(g);
    EXPECT_EQ(text, "{0123ABCD-4567-89EF-FEDC-BA9876543210}");
    EXPECT_EQ(GuidFromString(text), g);
    EXPECT_EQ(GuidFromString("0123abcd-4567-89ef-fedc-ba9876543210"), g);
    for (const char* bad : {"", "{}", "{0123ABCD-4567-89EF-FEDC-BA987654321}",
                            "{0123ABCD-4567-89EF-FEDC-BA98765432100}", "{0123ABCD-4567-89EF-FEDCBA-9876543210}",
                            "{0123ABCG-4567-89EF-FEDC-BA9876543210}", "{0123ABCD-4567-89EF-FEDC-BA9876543210"}) {
        EXPECT_EQ(GuidFromString(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace tarselctl
