// The whole update through the real dfu-util, into the simulated
// bootloader.

#include "harness.h"

#include <random>

namespace {

// 5000 bytes: the last of the 1024-byte blocks is a short one.
std::string firmwareImage()
{
    std::mt19937 generator(42);
    std::string image(5000, '\0');
    for (char &byte : image)
        byte = static_cast<char>(generator());
    return image;
}

class RealDfuUtil : public LauncherTest {
protected:
    void SetUp() override
    {
        LauncherTest::SetUp();
        search_path = "/usr/bin:/bin";
        makeFile("firmware.bin", firmwareImage());
    }

    bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }
};

const std::string HANDED_OFF = "start download file: firmware.bin\n"
                               "About to run dfu-util for downloading...\n"
                               "dfu-util 0.11\n";
const std::string INTACT = "ondrix-sim: the device received firmware.bin intact (5000 bytes)\n";

TEST_F(RealDfuUtil, FullUpdateFromNormalModeDeliversTheImageIntact)
{
    Outcome outcome = run({"--verify", "firmware.bin"}, {"firmware.bin"});
    EXPECT_TRUE(contains(outcome.out, "send switch_mode ok\n"));
    EXPECT_TRUE(contains(outcome.out, HANDED_OFF)) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Download done.\n"));
    EXPECT_TRUE(contains(outcome.err, INTACT)) << outcome.err;
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(RealDfuUtil, UpdateFromBootloaderModeDeliversTheImageIntact)
{
    Outcome outcome = run({"--mode", "bootloader", "--verify", "firmware.bin"}, {"firmware.bin"});
    EXPECT_TRUE(contains(outcome.out, "About to run dfu-util for downloading...\ndfu-util 0.11\n"));
    EXPECT_TRUE(contains(outcome.err, INTACT)) << outcome.err;
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(RealDfuUtil, WriteErrorInTheBootloaderIsTheLaunchersFailure)
{
    Outcome outcome = run({"--fail-download-after", "2"}, {"firmware.bin"});
    EXPECT_TRUE(contains(outcome.out, "DFU state(10) = dfuERROR, status(3) = Device is unable to write memory"))
        << outcome.out;
    EXPECT_EQ(outcome.status, 74) << "dfu-util's own failure status";
    EXPECT_TRUE(contains(simulatorLog(), "download 040e:f003 on 1-1 2048 bytes\n"));
}

TEST_F(RealDfuUtil, AnotherMakersDfuDeviceIsLeftAlone)
{
    Outcome outcome = run({"--foreign-dfu", "--verify", "firmware.bin"}, {"firmware.bin"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(contains(outcome.err, INTACT)) << outcome.err;
    EXPECT_TRUE(contains(simulatorLog(), "download 0483:df11 0 bytes\n")) << simulatorLog();
}

TEST_F(RealDfuUtil, OfTwoDevicesOnlyTheChosenOneReceivesTheImage)
{
    Outcome outcome = run({"--also", "normal", "--verify", "1-10=firmware.bin"}, {"--port", "1-10", "firmware.bin"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "the device on 1-10 received firmware.bin intact")) << outcome.err;
    EXPECT_FALSE(contains(simulatorLog(), "on 1-1 ")) << "the other device was never switched";
}

TEST_F(RealDfuUtil, ADeviceWaitingInItsBootloaderIsNotGivenTheOthersImage)
{
    Outcome outcome = run({"--mode", "bootloader", "--also", "normal", "--verify", "1-10=firmware.bin"},
                          {"firmware.bin"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "the device on 1-10 received firmware.bin intact")) << outcome.err;
    EXPECT_TRUE(contains(simulatorLog(), "download 040e:f003 on 1-1 0 bytes\n")) << simulatorLog();
}

TEST_F(RealDfuUtil, TwoRunsAtOnceEachUpdateTheirOwnDevice)
{
    makeFile("other.bin", firmwareImage().substr(0, 3000));
    Outcome outcome = runShell({"--also", "normal", "--verify", "1-1=firmware.bin", "--verify", "1-10=other.bin"},
                               "\"$FWLAUNCH\" --port 1-1 firmware.bin > a.out 2>&1 & a=$!\n"
                               "\"$FWLAUNCH\" --port 1-10 other.bin > b.out 2>&1; b=$?\n"
                               "wait $a && exit $b");
    EXPECT_EQ(outcome.status, 0) << outcome.err << readFile(path("a.out")) << readFile(path("b.out"));
    EXPECT_TRUE(contains(outcome.err, "the device on 1-1 received firmware.bin intact")) << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "the device on 1-10 received other.bin intact")) << outcome.err;
}

} // namespace
