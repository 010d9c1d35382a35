// Following a connection's TYPE from the control's trace.
#include <gtest/gtest.h>

#include <tarsel/sent_type.h>

namespace tarselctl {
namespace {

TEST(SentType, OnlyATypeTheServerAcceptedSavesTheNextTypeLine) {
    SentType t;
    EXPECT_EQ(t.FiletypeFor(u"I"), u"I");  // unknown on a new connection
    t.Observe(u"GetFile>>TYPE I");
    EXPECT_EQ(t.FiletypeFor(u"I"), u"I");  // no reply yet
    t.Observe(u"200-Type");                 // a multi-line reply is not over yet
    EXPECT_EQ(t.FiletypeFor(u"I"), u"I");
    t.Observe(u"200 Type set to I");
    EXPECT_EQ(t.FiletypeFor(u"i"), u"");
    EXPECT_EQ(t.FiletypeFor(u"A"), u"A");
    EXPECT_EQ(t.FiletypeFor(u""), u"");  // a host that sends no TYPE keeps sending none

    // A listing switches to ASCII; a refused TYPE leaves the type unknown.
    t.Observe(u"Dir>>TYPE A");
    t.Observe(u"200 Type set to A");
    EXPECT_EQ(t.FiletypeFor(u"I"), u"I");
    t.Observe(u"GetFile>>TYPE I");
    t.Observe(u"504 Not implemented for that parameter");
    EXPECT_EQ(t.Current(), u"");
    EXPECT_EQ(t.FiletypeFor(u"A"), u"A");

    // A reply that merely looks like a sent line changes nothing; a new connection forgets.
    t.Observe(u"GetFile>>TYPE I");
    t.Observe(u"200 a>>TYPE A");
    EXPECT_EQ(t.Current(), u"I");
    t.Reset();
    EXPECT_EQ(t.FiletypeFor(u"I"), u"I");
}

}  // namespace
}  // namespace tarselctl
