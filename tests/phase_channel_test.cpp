// The channel on which the update of one device tells the process that
// started it its phases: the exact lines, and what a reader takes for one.

#include "phase_channel.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

// What reportPhase writes, as it arrives through a pipe.
std::string lineWritten(const PhaseReport &report)
{
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    reportPhase(ends[1], report);
    close(ends[1]);
    std::string line;
    char buffer[256];
    for (ssize_t count; (count = read(ends[0], buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<size_t>(count));
    close(ends[0]);
    return line;
}

TEST(PhaseChannel, EachReportIsOneLineThatReadsBackTheSame)
{
    struct Case {
        PhaseReport report;
        std::string line;
    } cases[] = {{{Phase::switching, 0}, "switching\n"},
                 {{Phase::waiting_for_bootloader, 0}, "waiting for the bootloader\n"},
                 {{Phase::downloading, 0}, "downloading\n"},
                 {{Phase::busy, 4242}, "busy 4242\n"},
                 {{Phase::busy, 0}, "busy\n"}};
    for (const Case &c : cases) {
        EXPECT_EQ(lineWritten(c.report), c.line);
        PhaseReport read{Phase::switching, -1};
        ASSERT_TRUE(parsePhaseLine(c.line.substr(0, c.line.size() - 1), &read)) << c.line;
        EXPECT_EQ(read.phase, c.report.phase) << c.line;
        EXPECT_EQ(read.busy_holder, c.report.busy_holder) << c.line;
    }
}

TEST(PhaseChannel, OtherTextIsNoPhase)
{
    const std::vector<std::string> lines = {"",
                                            "Switching",
                                            "switching ",
                                            "start check usb mode",
                                            "downloading 0 %",
                                            "busy ",
                                            "busy  12",
                                            "busy 0",
                                            "busy 012",
                                            "busy -12",
                                            "busy +12",
                                            "busy 12x",
                                            "busy 99999999999999999999",
                                            "busy (process 12)"};
    for (const std::string &line : lines) {
        PhaseReport read;
        EXPECT_FALSE(parsePhaseLine(line, &read)) << line;
    }
}

} // namespace
