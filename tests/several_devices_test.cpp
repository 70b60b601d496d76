// Several ondrix devices at once: choosing one by its USB port, listing
// them, and updating exactly the device that was switched.
//
// The simulator puts its devices on ports in the order it adds them:
// the first ondrix device on 1-1, the next (--also) on 1-10.

#include "harness.h"

namespace {

const std::string PRE_MODE_REPORT = commandReport(0xde, 0x12);
const std::string SWITCH_MODE_REPORT = commandReport(0x12, 0x34);
const std::string NOT_FOUND = "don't found any ondrix hid device\n"
                              "please check if you has plun in a ondrix usb device\n";

const Words TWO_NORMAL = {"--also", "normal"};
// The first device waits in its bootloader, left there by an update that
// did not finish; the second is in normal mode.
const Words STUCK_BESIDE_NORMAL = {"--mode", "bootloader", "--also", "normal"};

std::string chosenLine(const std::string &port)
{
    return "2 ondrix devices attached; updating the one on port " + port + " (choose with --port)\n";
}

// One command request; `dots` for the devices its walk steps over.
std::string request(const std::string &node, const std::string &serial, const std::string &dots, const char *sent)
{
    return "Start hid_enumerate\n" + dots + deviceFoundBlock(node, serial) + sent;
}

// The whole run from normal mode for the device at `node`, whose
// bootloader comes back at `bootloader_node`.
std::string updateFromNormal(const std::string &node, const std::string &bootloader_node,
                             const std::string &serial, const std::string &dots = "")
{
    return "start check usb mode\n" + request(node, serial, dots, "sent the hid command: (2 0xde 0x12).\n") +
           "send pre_mode ok\n" + request(node, serial, dots, "sent the hid command: (2 0x12 0x34).\n") +
           "send switch_mode ok\n" + bootloaderBlock(bootloader_node, serial) +
           "start download file: img.bin\n"
           "About to run dfu-util for downloading...\n"
           "dfu-util stand-in ran\n";
}

std::string updateFromBootloader(const std::string &node, const std::string &serial)
{
    return bootloaderBlock(node, serial) +
           "the divce is already in usb bootloader mode\n"
           "Try to start download img file : img.bin.\n"
           "About to run dfu-util for downloading...\n"
           "dfu-util stand-in ran\n";
}

using SeveralDevices = LauncherTest;

TEST_F(SeveralDevices, DefaultRunSwitchesTheFirstNormalModeDeviceAndSaysHowToChoose)
{
    Outcome outcome = run(TWO_NORMAL, {"img.bin"});
    EXPECT_EQ(outcome.out, chosenLine("1-1") + updateFromNormal("/dev/hidraw0", "/dev/hidraw2", "OX-000001"));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(reportsReceived("1-1"), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
    EXPECT_TRUE(reportsReceived("1-10").empty());
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-1"));
}

TEST_F(SeveralDevices, PortChoosesTheDeviceAndTheRunIsAsIfItWereAlone)
{
    for (const Words &args : {Words{"--port", "1-10", "img.bin"}, Words{"--port=1-10", "img.bin"}}) {
        Outcome outcome = run(TWO_NORMAL, args);
        EXPECT_EQ(outcome.out, updateFromNormal("/dev/hidraw1", "/dev/hidraw2", "OX-000002")) << args[0];
        EXPECT_EQ(outcome.status, 0);
        EXPECT_TRUE(reportsReceived("1-1").empty()) << args[0];
        EXPECT_EQ(reportsReceived("1-10"), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT})) << args[0];
        EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-10")) << args[0];
    }
}

TEST_F(SeveralDevices, TheOtherOndrixDeviceIsNotEvenSteppedOver)
{
    // Another maker's device on 1-1 gets its dot; the ondrix device on
    // 1-10, listed before the chosen one, is not there for this run.
    Outcome outcome = run({"--others", "1", "--also", "normal"}, {"--port", "1-100", "img.bin"});
    EXPECT_EQ(outcome.out, updateFromNormal("/dev/hidraw2", "/dev/hidraw3", "OX-000002", "."));
    EXPECT_TRUE(reportsReceived("1-10").empty());
}

TEST_F(SeveralDevices, TwoDevicesWithTheSameSerialNumberAreStillTwo)
{
    // Opened by identity and serial number, the first of the two would
    // take the reports meant for the second.
    Outcome outcome = run({"--serial", "OX-000002", "--also", "normal"}, {"--port", "1-10", "img.bin"});
    EXPECT_EQ(outcome.out, updateFromNormal("/dev/hidraw1", "/dev/hidraw2", "OX-000002"));
    EXPECT_TRUE(reportsReceived("1-1").empty());
    EXPECT_EQ(reportsReceived("1-10"), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
}

TEST_F(SeveralDevices, ADeviceWaitingInItsBootloaderDoesNotTakeTheOthersUpdate)
{
    // Any bootloader listed would do for a launcher that does not follow
    // the device it switched; this one waits for the one on 1-10.
    Outcome outcome = run(STUCK_BESIDE_NORMAL, {"img.bin"});
    EXPECT_EQ(outcome.out, chosenLine("1-10") + updateFromNormal("/dev/hidraw1", "/dev/hidraw2", "OX-000002"));
    EXPECT_EQ(reportsReceived("1-10"), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-10"));
}

TEST_F(SeveralDevices, PortOfTheWaitingBootloaderUpdatesItAlone)
{
    Outcome outcome = run(STUCK_BESIDE_NORMAL, {"--port", "1-1", "img.bin"});
    EXPECT_EQ(outcome.out, updateFromBootloader("/dev/hidraw0", "OX-000001"));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(reportsReceived("1-10").empty());
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-1"));
}

TEST_F(SeveralDevices, OnlyBootloadersAttachedTheFirstIsChosen)
{
    Outcome outcome = run({"--mode", "bootloader", "--also", "bootloader"}, {"img.bin"});
    EXPECT_EQ(outcome.out, chosenLine("1-1") + updateFromBootloader("/dev/hidraw0", "OX-000001"));
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-1"));
}

TEST_F(SeveralDevices, PortWithNothingOnItWritesNothing)
{
    // Another maker's device on 1-1, the ondrix devices on 1-10 and 1-100.
    for (const char *port : {"1-5", "1-1", "2-10"}) {
        Outcome outcome = run({"--others", "1", "--also", "normal"}, {"--port", port, "img.bin"});
        EXPECT_EQ(outcome.out, NOT_FOUND) << port;
        EXPECT_EQ(outcome.status, 1) << port;
        EXPECT_TRUE(reportsReceived("1-10").empty() && reportsReceived("1-100").empty()) << port;
        EXPECT_TRUE(dfuUtilRecord().empty()) << port;
    }
}

TEST_F(SeveralDevices, MalformedPortPrintsTheUsage)
{
    for (const Words &args : {Words{"--port", "1", "img.bin"}, Words{"--port", "1-", "img.bin"},
                              Words{"--port", "-1", "img.bin"}, Words{"--port", "1-1.", "img.bin"},
                              Words{"--port", "1-1..2", "img.bin"}, Words{"--port", "usb1-1", "img.bin"},
                              Words{"--port", "1-1 ", "img.bin"}, Words{"--port=", "img.bin"},
                              Words{"--port", "1-1"}, Words{"--port"}}) {
        Outcome outcome = run(TWO_NORMAL, args);
        EXPECT_EQ(outcome.out, usageText()) << args.back();
        EXPECT_EQ(outcome.status, 2) << args.back();
        EXPECT_TRUE(reportsReceived("1-1").empty() && reportsReceived("1-10").empty());
    }
    // A hub's port is a port too.
    Outcome outcome = run(TWO_NORMAL, {"--port", "1-1.2.3", "img.bin"});
    EXPECT_EQ(outcome.out, NOT_FOUND);
}

TEST_F(SeveralDevices, ListShowsEveryDeviceByPortAndTouchesNone)
{
    Outcome outcome = run({"--mode", "bootloader", "--also", "normal", "--others", "2"}, {"--list"});
    EXPECT_EQ(outcome.out, "1-100  bootloader  040e:f003  /dev/hidraw2  OX-000001\n"
                           "1-101  normal  040e:f408  /dev/hidraw3  OX-000002\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);

    outcome = run(TWO_NORMAL, {"--list", "img.bin"});
    EXPECT_EQ(outcome.out, "1-1  normal  040e:f408  /dev/hidraw0  OX-000001\n"
                           "1-10  normal  040e:f408  /dev/hidraw1  OX-000002\n");
    EXPECT_TRUE(reportsReceived("1-1").empty() && reportsReceived("1-10").empty());
    EXPECT_TRUE(dfuUtilRecord().empty());
}

TEST_F(SeveralDevices, ListOrdersPortsByNumberNotByText)
{
    // Behind ten other devices the ondrix ones land on 1-108, 1-109 and
    // 1-11, which udev lists in that order.
    Outcome outcome = run({"--others", "10", "--also", "bootloader", "--also", "normal"}, {"--list"});
    EXPECT_EQ(outcome.out, "1-11  normal  040e:f408  /dev/hidraw12  OX-000003\n"
                           "1-108  normal  040e:f408  /dev/hidraw10  OX-000001\n"
                           "1-109  bootloader  040e:f003  /dev/hidraw11  OX-000002\n");
}

TEST_F(SeveralDevices, ListWithNoOndrixDeviceSaysSoAndFails)
{
    Outcome outcome = run({"--mode", "none", "--others", "1", "--foreign-f408"}, {"--list"});
    EXPECT_EQ(outcome.out, NOT_FOUND);
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(SeveralDevices, ADeviceWithoutSerialNumberIsListedWithADash)
{
    Outcome outcome = run({"--serial", ""}, {"--list"});
    EXPECT_EQ(outcome.out, "1-1  normal  040e:f408  /dev/hidraw0  -\n");
}

TEST_F(SeveralDevices, InformationThatCannotBeWrittenIsAFailure)
{
    for (const char *option : {"--list", "--help", "--version"}) {
        Outcome outcome = runShell({"--mode", "normal"}, std::string("exec \"$FWLAUNCH\" ") + option + " > /dev/full");
        EXPECT_EQ(outcome.err, "fwlaunch: cannot write the output: No space left on device\n") << option;
        EXPECT_EQ(outcome.status, 1) << option;
    }
}

} // namespace
