// The transfer type and character-code settings: what a write stores, which converter it
// sets, what it refuses, and how Connect puts the stored codes into the converters.
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "command/raised_error.h"
#include "support/control_harness.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CodeSettingsTest : public ControlTest {
protected:
    CodeSettingsTest() : ControlTest(FakePlatform::CodawaKind::Fake) {}
};

struct WriteCase {
    const char16_t* written;
    const char16_t* stored;     // nullptr: refused
    const char16_t* codeName;   // what the converter is set to; nullptr: not set
};

TEST_F(CodeSettingsTest, FiletypeWriteMatchesOnTheFirstLetter) {
    const WriteCase cases[] = {
        {u"A", u"A", nullptr},     {u"ascii", u"A", nullptr}, {u"b", u"I", nullptr},
        {u"Binary", u"I", nullptr}, {u"i", u"I", nullptr},    {u"Image", u"I", nullptr},
        {u"", u"", nullptr},       {u"x", nullptr, nullptr},  {u" A", nullptr, nullptr},
        {u"E", nullptr, nullptr},  {u"ä", nullptr, nullptr},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(ToUtf8(c.written));
        control.put_Filetype(u"A");
        const std::string error = RaisedError([&] { control.put_Filetype(c.written); });
        if (c.stored) {
            EXPECT_EQ(error, "none");
            EXPECT_EQ(control.get_Filetype(), c.stored);
        } else {
            EXPECT_EQ(error, "54|FileType|Invalid File Type");
            EXPECT_EQ(control.get_Filetype(), u"A");
        }
    }
}

TEST_F(CodeSettingsTest, FileCodeWriteStoresTheFormAndSetsTheFileConverter) {
    const WriteCase cases[] = {
        {u"BIN", u"BIN", nullptr}, {u"n", u"BIN", nullptr},    {u"image", u"BIN", nullptr},
        {u"jis", u"JIS", u"SJIS"}, {u"JIS", u"JIS", u"SJIS"},  {u"S", u"SJIS", u"SJIS"},
        {u"ansi", u"SJIS", u"SJIS"}, {u"euc-jp", u"EUC", u"EUC"},
        {u"", nullptr, nullptr},   {u"UTF-8", u"UTF8", nullptr}, {u"x", nullptr, nullptr},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(ToUtf8(c.written));
        control.put_FileCode(u"EUC");
        ClearLogs();
        const std::string error = RaisedError([&] { control.put_FileCode(c.written); });
        if (c.stored) {
            EXPECT_EQ(error, "none");
            EXPECT_EQ(control.get_FileCode(), c.stored);
        } else {
            EXPECT_EQ(error, "54|FileCode|Invalid File Kanji Code");
            EXPECT_EQ(control.get_FileCode(), u"EUC");
        }
        if (c.codeName) {
            EXPECT_THAT(codawa2().codeNameWrites, ElementsAre(c.codeName));
        } else {
            EXPECT_THAT(codawa2().codeNameWrites, IsEmpty());
        }
        EXPECT_THAT(codawa1().codeNameWrites, IsEmpty());
    }
}

TEST_F(CodeSettingsTest, SysCodeWriteStoresTheFormAndSetsTheCommandConverter) {
    const WriteCase cases[] = {
        {u"s", u"SJIS", u"SJIS"},    {u"Shift_JIS", u"SJIS", u"SJIS"}, {u"E", u"EUC", u"EUC"},
        {u"eucJP", u"EUC", u"EUC"},  {u"", nullptr, nullptr},          {u"UTF-8", u"UTF8", nullptr},
        {u"JIS", nullptr, nullptr},  {u"x", nullptr, nullptr},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(ToUtf8(c.written));
        control.put_SysCode(u"SJIS");
        ClearLogs();
        const std::string error = RaisedError([&] { control.put_SysCode(c.written); });
        if (c.stored) {
            EXPECT_EQ(error, "none");
            EXPECT_EQ(control.get_SysCode(), c.stored);
            // UTF-8 is decoded by the control itself; the component's code stays as it was.
            if (c.codeName) EXPECT_THAT(codawa1().codeNameWrites, ElementsAre(c.codeName));
            else EXPECT_THAT(codawa1().codeNameWrites, IsEmpty());
        } else {
            EXPECT_EQ(error, "54|SysCode|Invalid System Kanji Code");
            EXPECT_EQ(control.get_SysCode(), u"SJIS");
            EXPECT_THAT(codawa1().codeNameWrites, IsEmpty());
        }
        EXPECT_THAT(codawa2().codeNameWrites, IsEmpty());
    }
}

// A converter that refuses every code name: the write raises its error with the member
// already changed, because the member is stored first.
class RefusingCodawa final : public Codawa {
public:
    void put_CodeName(const String&) override {
        throw AutomationError(380, u"Codawa", u"Invalid Code Name");
    }
    Integer get_Version() const override { return 205; }
    void Reset() noexcept override {}
    std::string SjisToJis(std::string& t) override { return std::exchange(t, {}); }
    std::string ToSjis(std::string& t) override { return std::exchange(t, {}); }
    std::string SjisToEuc(std::string& t) override { return std::exchange(t, {}); }
    std::string EucToSjis(std::string& t) override { return std::exchange(t, {}); }
    std::string JisToSjis(std::string& t) override { return std::exchange(t, {}); }
    std::string TextToSjis(String& t) override { t.clear(); return {}; }
    std::string TextToEuc(String& t) override { t.clear(); return {}; }
    std::string SjisToSjis(std::string& t) override { return std::exchange(t, {}); }
};

TEST(CodeSettingsOrder, MemberIsStoredBeforeTheConverterIsSet) {
    FakePlatform platform;
    platform.codawaFactory = [] { return std::make_unique<RefusingCodawa>(); };
    tarsel control(platform);
    EXPECT_EQ(RaisedError([&] { control.put_FileCode(u"J"); }), "380|Codawa|Invalid Code Name");
    EXPECT_EQ(control.get_FileCode(), u"JIS");
    EXPECT_EQ(RaisedError([&] { control.put_SysCode(u"S"); }), "380|Codawa|Invalid Code Name");
    EXPECT_EQ(control.get_SysCode(), u"SJIS");
}

// Connect puts the stored codes into both converters once more; a binary file code leaves
// the file converter as it was.
TEST_F(CodeSettingsTest, ConnectAppliesTheStoredCodesToBothConverters) {
    struct Case {
        const char16_t* sysCode;
        const char16_t* fileCode;
        const char16_t* codawa1;
        const char16_t* codawa2;  // nullptr: not written
    };
    const Case cases[] = {
        {u"EUC", u"JIS", u"EUC", u"SJIS"},
        {u"EUC", u"SJIS", u"EUC", u"SJIS"},
        {u"SJIS", u"EUC", u"SJIS", u"EUC"},
        {u"SJIS", u"BIN", u"SJIS", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.sysCode) + "/" + ToUtf8(c.fileCode));
        control.put_FileCode(u"EUC");
        control.put_SysCode(c.sysCode);
        control.put_FileCode(c.fileCode);
        ClearLogs();
        const int resets1 = codawa1().resets, resets2 = codawa2().resets;
        control.Connect(u"ftp.example", u"user", u"pw");
        // Both start the connection in their initial shift state, BIN or not.
        EXPECT_EQ(codawa1().resets, resets1 + 1);
        EXPECT_EQ(codawa2().resets, resets2 + 1);
        EXPECT_THAT(codawa1().codeNameWrites, ElementsAre(c.codawa1));
        if (c.codawa2) {
            EXPECT_THAT(codawa2().codeNameWrites, ElementsAre(c.codawa2));
        } else {
            EXPECT_THAT(codawa2().codeNameWrites, IsEmpty());
            EXPECT_EQ(codawa2().codeName, u"EUC");
        }
        control.Abend();
    }
}

// Outgoing command lines are converted by the system code, compared whole.
TEST_F(CodeSettingsTest, CommandLinesFollowTheSystemCode) {
    ConnectAndLogin();
    control.put_SysCode(u"SJIS");
    control.Pwd();
    Reply("257 \"/\"");
    control.put_SysCode(u"EUC");
    control.Pwd();
    std::vector<std::string> outgoing;
    for (const std::string& call : codawa1().calls)
        if (call.rfind("TextTo", 0) == 0) outgoing.push_back(call);
    EXPECT_THAT(outgoing, ElementsAre("TextToSjis", "TextToEuc"));
}

}  // namespace
}  // namespace tarselctl
