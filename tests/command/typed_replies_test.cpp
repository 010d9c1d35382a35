// What a host reads from the control instead of the trace: the FEAT set, the TYPE in force and
// the command the last reply answered, each following the dialogue whoever sent the line.
#include <functional>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"

namespace tarselctl {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TypedRepliesTest : public ControlTest {};

TEST_F(TypedRepliesTest, FeaturesAreTheLinesOfTheLastFeatAnswerAndEndWithTheConnection) {
    ConnectAndLogin();
    control.QuoteCommand(u"FEAT");
    s1().Receive("211-Features:\r\n MDTM\r\n REST STREAM\r\n  utf8\r\n211 End\r\n");
    EXPECT_THAT(control.Features(), ElementsAre(u"MDTM", u"REST STREAM", u"utf8"));
    EXPECT_TRUE(control.HasFeature(u"UTF8"));
    EXPECT_TRUE(control.HasFeature(u"rest"));
    EXPECT_FALSE(control.HasFeature(u"MLST"));
    EXPECT_EQ(control.LastCommand(), u"FEAT");

    // A refused FEAT lists nothing; a later one replaces the set.
    control.QuoteCommand(u"FEAT");
    Reply("500 FEAT not understood");
    EXPECT_THAT(control.Features(), IsEmpty());
    control.QuoteCommand(u"FEAT");
    s1().Receive("211-Features:\r\n MLST type*;size*;\r\n211 End\r\n");
    EXPECT_THAT(control.Features(), ElementsAre(u"MLST type*;size*;"));

    s1().Close();
    EXPECT_THAT(control.Features(), IsEmpty());
}

TEST_F(TypedRepliesTest, TheTypeInForceIsTheLastTypeTheServerAccepted) {
    struct Step {
        const char* name;
        std::function<void(tarsel&)> call;
        const char* reply;
        const char16_t* inForce;
    };
    const std::vector<Step> steps = {
        {"FileSize with Filetype I", [](tarsel& c) { c.FileSize(u"f"); }, "200 Type set to I", u"I"},
        {"a refused TYPE", [](tarsel& c) { c.QuoteCommand(u"TYPE E"); }, "504 Not implemented", u""},
        {"TYPE a by hand", [](tarsel& c) { c.QuoteCommand(u"TYPE a"); }, "200 ok", u"A"},
        {"a TYPE answered with another class", [](tarsel& c) { c.QuoteCommand(u"TYPE I"); }, "350 what", u""},
    };
    control.put_Filetype(u"I");
    ConnectAndLogin();
    EXPECT_EQ(control.TypeInForce(), u"");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.call(control);
        // Sent, not answered: either type may be in force.
        EXPECT_EQ(control.TypeInForce(), u"");
        EXPECT_EQ(control.LastCommand(), u"TYPE");
        Reply(step.reply);
        EXPECT_EQ(control.TypeInForce(), step.inForce);
        if (control.IsIdle() == False) Reply("213 3");  // FileSize's SIZE
    }
    s1().Close();
    EXPECT_EQ(control.TypeInForce(), u"");
}

}  // namespace
}  // namespace tarselctl
