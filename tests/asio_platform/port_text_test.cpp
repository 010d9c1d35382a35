// Port text as the control passes it, including the blank a PASV reply leaves in front.
#include <gtest/gtest.h>

#include "asio_platform/port_text.h"

namespace tarselctl {
namespace {

TEST(PortText, DigitsWithBlanksAroundThemAreAPort) {
    EXPECT_EQ(ParsePortText(u"21", false), 21);
    EXPECT_EQ(ParsePortText(u" 1025", false), 1025);
    EXPECT_EQ(ParsePortText(u"\t65535  ", false), 65535);
    EXPECT_EQ(ParsePortText(u"0021", false), 21);
    EXPECT_EQ(ParsePortText(u"0", true), 0);
}

TEST(PortText, AnythingElseIsNoPort) {
    for (const char16_t* text : {u"", u"   ", u"0", u"000", u"65536", u"4294967317", u"-1", u"+21",
                                 u"2 1", u"21a", u"0x15", u"\uFF12\uFF11"}) {
        EXPECT_FALSE(ParsePortText(text, false).has_value()) << std::u16string(text).size();
    }
    EXPECT_FALSE(ParsePortText(u"99999", true).has_value());
}

}  // namespace
}  // namespace tarselctl
