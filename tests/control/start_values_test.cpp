// A freshly created control, before any stored property is read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/control_harness.h"

namespace tarselctl {
namespace {

using ::testing::IsEmpty;

class StartValuesTest : public ControlTest {
protected:
    StartValuesTest() : ControlTest(FakePlatform::CodawaKind::Fake) {}
};

TEST_F(StartValuesTest, SettingsStartAtTheirDefaults) {
    EXPECT_EQ(control.get_port(), u"21");
    EXPECT_EQ(control.get_Filetype(), u"I");
    EXPECT_EQ(control.get_SysCode(), u"EUC");
    EXPECT_EQ(control.get_FileCode(), u"BIN");
    EXPECT_EQ(control.TraceOn, True);
    EXPECT_EQ(control.get_Passive(), False);
    EXPECT_EQ(control.get_Account(), u"");
    EXPECT_EQ(control.get_Rest(), u"");
    EXPECT_EQ(control.get_PreCommand(), u"");
    EXPECT_EQ(control.get_NoopTime(), 0);
    EXPECT_EQ(control.get_ConnectTimeout(), 0);
    EXPECT_EQ(control.get_TransTimeout(), 0);
}

TEST_F(StartValuesTest, NoConnectionAndNothingCounting) {
    EXPECT_EQ(control.IsIdle(), False);
    EXPECT_EQ(control.get_FtpCommand(), u"");
    for (FakeTimer* timer : {&t1(), &t2()}) {
        SCOPED_TRACE(timer->name());
        EXPECT_EQ(timer->interval, 1000);
        EXPECT_FALSE(timer->enabled);
    }
    // Creating the control touches no socket, raises no event and leaves the converters'
    // codes to the first Connect.
    EXPECT_THAT(platform.calls, IsEmpty());
    EXPECT_THAT(recorder.events, IsEmpty());
    EXPECT_THAT(codawa1().codeNameWrites, IsEmpty());
    EXPECT_THAT(codawa2().codeNameWrites, IsEmpty());
    // With nothing counting, ticks do nothing.
    EXPECT_FALSE(t1().Tick());
    EXPECT_FALSE(t2().Tick());
}

TEST_F(StartValuesTest, BannerIsTheCopyrightAndTheStatusCaption) {
    const String banner = control.get_Copyright();
    EXPECT_FALSE(banner.empty());
    EXPECT_EQ(control.get_Label1(), banner);
    control.put_Copyright(u"someone else");
    control.put_Copyright(u"");
    EXPECT_EQ(control.get_Copyright(), banner);
}

}  // namespace
}  // namespace tarselctl
