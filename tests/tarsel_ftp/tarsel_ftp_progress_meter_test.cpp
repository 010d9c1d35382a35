// The transfer meter: its figures, its fit to the terminal, and how often it redraws.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "progress_meter.h"

namespace tarselftp {
namespace {

// Terminal columns of a line: two for the CJK text used here, one for anything else.
int Columns(const std::string& line) {
    int columns = 0;
    for (std::size_t i = 0; i < line.size();) {
        const auto lead = static_cast<unsigned char>(line[i]);
        if (lead >= 0xE0) {
            columns += 2;
            i += 3;
        } else {
            columns += 1;
            i += lead >= 0xC0 ? 2 : 1;
        }
    }
    return columns;
}

std::string Squeezed(std::string line) {
    // Blanks collapsed: figures are right-aligned in fixed columns.
    std::string out;
    for (char c : line)
        if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

TEST(TarselFtpProgressMeter, SummaryInBinaryUnitsToThreeFigures) {
    EXPECT_EQ(FormatTransferSummary(67108871, 0.21), "67108871 bytes in 0.21 s (305 MiB/s)");
    EXPECT_EQ(FormatTransferSummary(46, 2), "46 bytes in 2.00 s (23 B/s)");
    EXPECT_EQ(FormatTransferSummary(1, 4), "1 byte in 4.00 s (0.25 B/s)");
    EXPECT_EQ(FormatTransferSummary(31232, 1), "31232 bytes in 1.00 s (30.5 KiB/s)");
    EXPECT_EQ(FormatTransferSummary(3ull << 30, 1), "3221225472 bytes in 1.00 s (3.00 GiB/s)");
    // Just under a unit's 1024 rounds up into the next one instead of "1020 KiB/s".
    EXPECT_EQ(FormatTransferSummary(1023 * 1024, 1), "1047552 bytes in 1.00 s (1.00 MiB/s)");
    EXPECT_EQ(FormatTransferSummary(1000, 1), "1000 bytes in 1.00 s (0.98 KiB/s)");
    // No usable time: no rate, and no "inf" or "nan".
    EXPECT_EQ(FormatTransferSummary(46, 0), "46 bytes in 0.00 s");
    EXPECT_EQ(FormatTransferSummary(46, -1), "46 bytes in 0.00 s");
    EXPECT_EQ(FormatTransferSummary(46, std::nan("")), "46 bytes in 0.00 s");
    EXPECT_EQ(FormatTransferSummary(46, std::numeric_limits<double>::infinity()), "46 bytes in 0.00 s");
    EXPECT_EQ(FormatTransferSummary(UINT64_MAX, 1e-9).rfind("18446744073709551615 bytes in 0.00 s (", 0), 0u);
}

TEST(TarselFtpProgressMeter, TheRateOfAResumeCountsOnlyWhatMovedNow) {
    // 1000 bytes were on disk, 100 more arrived in one second: 100 B/s, 9 s to go.
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 1100, 2000, 1, 60, 1000)), "f 1.07 KiB 55% 100 B/s ETA 0:09");
    ProgressMeter meter("f", 2000, 1000);
    EXPECT_NE(meter.Final(2000, 2, 60).find("500 B/s"), std::string::npos);
}

TEST(TarselFtpProgressMeter, LineShowsBytesPercentRateAndEta) {
    // 34.5 MiB of 66.3 MiB after 2.8 s: 12.3 MiB/s, 2.6 s to go.
    const std::uint64_t done = 36175872, total = 69520000;
    const std::string line = FormatProgressLine("big.bin", done, total, 2.8, 80);
    EXPECT_EQ(Columns(line), 80);
    EXPECT_EQ(Squeezed(line), "big.bin 34.5 MiB 52% 12.3 MiB/s ETA 0:03");
    // Without a total: no percent, no ETA.
    EXPECT_EQ(Squeezed(FormatProgressLine("big.bin", done, std::nullopt, 2.8, 80)),
              "big.bin 34.5 MiB 12.3 MiB/s");
    // No time yet: no rate; nothing done yet: no estimate.
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 0, 100, 0, 40)), "f 0 B 0%");
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 0, 100, 1, 40)), "f 0 B 0% 0 B/s ETA --:--");
    // More than announced, an empty file, hours to go.
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 150, 100, 1, 50)), "f 150 B 100% 150 B/s ETA 0:00");
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 0, 0, 1, 50)), "f 0 B 100% 0 B/s ETA 0:00");
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 1024, 1024 * 3601 + 1024, 1, 50)),
              "f 1.00 KiB 0% 1.00 KiB/s ETA 1:00:01");
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 1, UINT64_MAX, 1, 50)), "f 1 B 0% 1 B/s ETA --:--");
    // 99.99% is not shown as done.
    EXPECT_EQ(Squeezed(FormatProgressLine("f", 9999, 10000, 1, 60)).find("100%"), std::string::npos);
}

TEST(TarselFtpProgressMeter, LineNeverWiderThanTheTerminal) {
    const std::string longName = "a/very/long/path/to/some/deeply/nested/archive-2020-01-01.tar.gz";
    for (const std::string& name : {longName, std::string("日本語 ファイル名がとても長い.txt"),
                                    std::string("x"), std::string(""), std::string("\x1b[2J\x1b]0;t\x07")}) {
        for (int width = -1; width <= 100; ++width) {
            const std::string line = FormatProgressLine(name, 123456789, 987654321, 3.5, width);
            EXPECT_EQ(Columns(line), std::max(width, 0)) << name << " at " << width << ": " << line;
            EXPECT_EQ(line.find('\x1b'), std::string::npos);
        }
    }
    // A shortened name keeps its end, behind "...".
    const std::string line = FormatProgressLine(longName, 100, 200, 1, 60);
    EXPECT_NE(line.find("...") , std::string::npos) << line;
    EXPECT_NE(line.find("-01.tar.gz"), std::string::npos) << line;
    EXPECT_NE(line.find("ETA"), std::string::npos) << line;
    // Few columns: the estimate goes before the name is cut to nothing.
    const std::string narrow = FormatProgressLine("name.bin", 100, 200, 1, 30);
    EXPECT_EQ(narrow.find("ETA"), std::string::npos) << narrow;
    EXPECT_EQ(narrow.rfind("name.bin", 0), 0u) << narrow;
    // Control characters in a name are shown, never sent to the terminal.
    EXPECT_EQ(FormatProgressLine("a\x1b[2Jb", 0, std::nullopt, 0, 40).rfind("a\\x1b[2Jb", 0), 0u);
}

TEST(TarselFtpProgressMeter, RedrawsAtMostTenTimesASecond) {
    ProgressMeter meter("f", 1000);
    EXPECT_TRUE(meter.Update(0, 0.0, 40));  // the first call draws
    EXPECT_FALSE(meter.Update(10, 0.05, 40));
    EXPECT_FALSE(meter.Update(20, 0.0999, 40));
    const auto line = meter.Update(30, 0.1, 40);
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("30 B"), std::string::npos) << *line;
    // Ticks of exactly 100 ms draw every time, though 0.3 - 0.2 < 0.1 in doubles.
    int draws = 0;
    for (int tick = 2; tick <= 11; ++tick) draws += meter.Update(40, tick * 0.1, 40).has_value();
    EXPECT_EQ(draws, 10);
    // A burst of updates draws once.
    ProgressMeter burst("f", std::nullopt);
    draws = 0;
    for (int i = 0; i < 1000; ++i) draws += burst.Update(i, 5.0 + i * 1e-5, 40).has_value();
    EXPECT_EQ(draws, 1);
    // A clock going backwards draws rather than stalling the meter.
    EXPECT_TRUE(burst.Update(0, 1.0, 40));
}

TEST(TarselFtpProgressMeter, FinalLineAlwaysAndWithoutEstimate) {
    ProgressMeter meter("f", 100);
    EXPECT_TRUE(meter.Update(0, 0, 40));
    const std::string last = meter.Final(100, 0.01, 40);
    EXPECT_EQ(Squeezed(last), "f 100 B 100% 9.77 KiB/s");
    EXPECT_EQ(Columns(last), 40);
    EXPECT_EQ(Squeezed(meter.Final(50, 0, 40)), "f 50 B 50%");
}

}  // namespace
}  // namespace tarselftp
