// Property storage: defaults left out, typed reads, and the file form of the storage.
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tarsel/property_bag.h>

#include "component_model/key_value_text.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class FileBagTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::path(::testing::TempDir()) /
              ("file_bag_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        path = dir / "settings.txt";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir, path;
};

void ExpectAutomationError(const std::function<void()>& call, Long number) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), number) << e.what();
    }
}

TEST(MemoryPropertyBagTest, ValuesEqualToTheirDefaultAreLeftOut) {
    MemoryPropertyBag bag;
    bag.WriteString(u"Port", u"21", u"21");
    bag.WriteBoolean(u"Passive", False, False);
    bag.WriteLong(u"NoopTime", 0, 0);
    EXPECT_THAT(bag.values, IsEmpty());

    bag.WriteString(u"Port", u"2121", u"21");
    bag.WriteString(u"Account", u"", u"x");  // empty text that is not the default stays
    EXPECT_EQ(bag.ReadString(u"Port", u"21"), u"2121");
    EXPECT_EQ(bag.ReadString(u"Account", u"x"), u"");
    bag.WriteString(u"Port", u"21", u"21");  // back at the default: the key goes
    EXPECT_THAT(bag.values, ElementsAre(Pair(u"Account", Variant::FromString(u""))));

    // Missing keys read as the default, in the type asked for.
    EXPECT_EQ(bag.ReadLong(u"NoopTime", 7), 7);
    EXPECT_EQ(bag.Read(u"NoopTime", VarType::String, Variant::FromLong(7)), Variant::FromString(u"7"));
}

TEST(MemoryPropertyBagTest, StoredValuesConvertToTheTypeReadOrFailWithTypeMismatch) {
    MemoryPropertyBag bag;
    bag.values[u"NoopTime"] = Variant::FromString(u"30");
    bag.values[u"Passive"] = Variant::FromInteger(1);
    bag.values[u"Bad"] = Variant::FromString(u"thirty");
    bag.values[u"Huge"] = Variant::FromString(u"4000000000");
    EXPECT_EQ(bag.ReadLong(u"NoopTime", 0), 30);
    EXPECT_EQ(bag.ReadBoolean(u"Passive", False), True);
    ExpectAutomationError([&] { bag.ReadLong(u"Bad", 0); }, 13);
    ExpectAutomationError([&] { bag.ReadLong(u"Huge", 0); }, 6);

    // A by-reference value is stored as the value it refers to.
    String text = u"kept";
    bag.Write(u"Ref", Variant::RefString(&text), Variant::FromString(u""));
    text = u"changed";
    EXPECT_EQ(bag.ReadString(u"Ref", u""), u"kept");
}

TEST_F(FileBagTest, EveryValueSurvivesSaveAndReopen) {
    const String japanese = u"日本語のテキスト ｶﾀｶﾅ";
    const String awkward = u"line1\r\nline2\\end=x\n\\n";
    {
        FilePropertyBag bag(path);
        EXPECT_THAT(bag.Values(), IsEmpty());  // no file yet: an empty bag
        bag.WriteString(u"Empty", u"", u"default");
        bag.WriteString(u"Japanese", japanese, u"");
        bag.WriteString(u"Awkward", awkward, u"");
        bag.WriteString(u"Key=With\\Marks\n", u"v", u"");
        bag.WriteBoolean(u"Passive", True, False);
        bag.WriteLong(u"NoopTime", -30, 0);
        bag.WriteString(u"Port", u"21", u"21");
        bag.Save();
    }
    FilePropertyBag bag(path);
    EXPECT_EQ(bag.Values().size(), 6u);
    EXPECT_EQ(bag.ReadString(u"Empty", u"default"), u"");
    EXPECT_EQ(bag.ReadString(u"Japanese", u""), japanese);
    EXPECT_EQ(bag.ReadString(u"Awkward", u""), awkward);
    EXPECT_EQ(bag.ReadString(u"Key=With\\Marks\n", u""), u"v");
    EXPECT_EQ(bag.ReadBoolean(u"Passive", False), True);
    EXPECT_EQ(bag.ReadLong(u"NoopTime", 0), -30);
    EXPECT_EQ(bag.ReadString(u"Port", u"21"), u"21");

    // One line per key, in key order, readable as text.
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("Awkward=line1\\r\\nline2\\\\end=x\\n\\\\n\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Japanese=日本語のテキスト ｶﾀｶﾅ\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Passive=True\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Key\\=With\\\\Marks\\n=v\n"), std::string::npos) << text;
}

TEST_F(FileBagTest, SaveReplacesTheFileWholeAndLeavesNoTemporaryFiles) {
    {
        FilePropertyBag bag(path);
        bag.WriteString(u"A", u"1", u"");
        bag.WriteString(u"B", u"2", u"");
        bag.Save();
    }
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    {
        FilePropertyBag bag(path);
        bag.WriteString(u"A", u"", u"");  // back at its default: left out
        bag.Save();
    }
    EXPECT_EQ(ReadFile(path), "B=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the replaced file's permissions stay
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, ElementsAre("settings.txt"));
}

TEST_F(FileBagTest, FailuresAreAutomationErrorsAndKeepTheOldFile) {
    std::ofstream(path) << "Good=1\nno separator here\n";
    ExpectAutomationError([&] { FilePropertyBag bag(path); }, 321);
    std::ofstream(path) << "Bad=\\q\n";
    ExpectAutomationError([&] { FilePropertyBag bag(path); }, 321);

    std::ofstream(path, std::ios::trunc) << "NoopTime=thirty\r\n\r\n";
    FilePropertyBag bag(path);  // CR LF lines and blank lines are fine
    ExpectAutomationError([&] { bag.ReadLong(u"NoopTime", 0); }, 13);
    EXPECT_EQ(bag.ReadString(u"NoopTime", u""), u"thirty");

    // A directory where the file should go cannot be replaced; nothing else changes.
    FilePropertyBag blocked(dir / "sub");
    std::filesystem::create_directories(dir / "sub" / "x");
    blocked.WriteString(u"A", u"1", u"");
    ExpectAutomationError([&] { blocked.Save(); }, 75);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));
    ExpectAutomationError([&] { bag.Write(u"Bytes", Variant::FromBytes({0, {1}}), Variant()); }, 13);
}

TEST(KeyValueTextTest, EscapesRoundTripForEveryAwkwardByte) {
    const std::string key = "k=\\\r\n=";
    const std::string value = "=v\\r\r\n\\\\";
    const std::string line = FormatKeyValueLine(key, value);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const auto entries = ParseKeyValueText(line + "\nempty=\n");
    EXPECT_THAT(entries, ElementsAre(Pair(key, value), Pair("empty", "")));
    EXPECT_THROW(ParseKeyValueText("key\\"), std::runtime_error);
    EXPECT_THROW(ParseKeyValueText("a=1\nb\\=2\n"), std::runtime_error);
}

}  // namespace
}  // namespace tarselctl
