// Starting the launcher: its argument, the device it finds, and the
// hand-off when the device is already in its bootloader.

#include "harness.h"

namespace {

const std::string NOT_FOUND = "don't found any ondrix hid device\n"
                              "please check if you has plun in a ondrix usb device\n";

std::string handoffFromBootloader(const std::string &image,
                                  const std::string &block = bootloaderBlock("/dev/hidraw0"))
{
    return block +
           "the divce is already in usb bootloader mode\n"
           "Try to start download img file : " + image + ".\n"
           "About to run dfu-util for downloading...\n";
}

using Startup = LauncherTest;

TEST_F(Startup, WithoutAnImageItPrintsUsageAndLeavesTheDeviceAlone)
{
    for (const Words &args : {Words{}, Words{"no-such-image.bin"}}) {
        Outcome outcome = run({"--mode", "normal"}, args);
        EXPECT_EQ(outcome.out, usageText());
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 2);
        EXPECT_TRUE(reportsReceived().empty());
    }
}

TEST_F(Startup, HelpPrintsTheUsageTextAndMoreAndSucceeds)
{
    for (const Words &args : {Words{"--help"}, Words{"--help", "img.bin"}}) {
        Outcome outcome = run({"--mode", "normal"}, args);
        EXPECT_EQ(outcome.out.substr(0, usageText().size()), usageText());
        EXPECT_NE(outcome.out.find("\nExit status:\n"), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.out.back(), '\n');
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
        EXPECT_TRUE(reportsReceived().empty());
    }
}

TEST_F(Startup, VersionPrintsTheProjectVersionAndSucceeds)
{
    Outcome outcome = run({"--mode", "normal"}, {"--version"});
    EXPECT_EQ(outcome.out, "fwlaunch " FWLAUNCH_VERSION "\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(reportsReceived().empty());
}

TEST_F(Startup, HelpAndVersionAnswerWithoutTheHidLayer)
{
    Outcome outcome = runWithHidapiStandIn("init-fails", {"--help"});
    EXPECT_EQ(outcome.out.substr(0, usageText().size()), usageText());
    EXPECT_EQ(outcome.status, 0);
    outcome = runWithHidapiStandIn("init-fails", {"--version"});
    EXPECT_EQ(outcome.out, "fwlaunch " FWLAUNCH_VERSION "\n");
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(Startup, AnyOtherFirstArgumentIsTheImagePath)
{
    // Only the exact words, and only first, are options.
    for (const Words &args : {Words{"-h"}, Words{"--HELP"}, Words{"--version=1"}}) {
        Outcome outcome = run({"--mode", "bootloader"}, args);
        EXPECT_EQ(outcome.out, usageText()) << args[0];
        EXPECT_EQ(outcome.status, 2) << args[0];
    }
    makeFile("--helpful.bin");
    Outcome outcome = run({"--mode", "bootloader"}, {"--helpful.bin", "--version"});
    EXPECT_EQ(outcome.out, handoffFromBootloader("--helpful.bin") + "dfu-util stand-in ran\n");
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "--helpful.bin"));
}

TEST_F(Startup, WithNoOndrixDeviceItSaysSoAndFails)
{
    // Another maker's f408 is not the ondrix device.
    Outcome outcome = run({"--mode", "none", "--others", "2", "--foreign-f408"}, {"img.bin"});
    EXPECT_EQ(outcome.out, NOT_FOUND);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(Startup, BootloaderAlreadyAttachedHandsTheImageToDfuUtil)
{
    extra_env = {"DFU_UTIL_STATUS=7"};
    Outcome outcome = run({"--mode", "bootloader"}, {"img.bin"});
    // Standard output is a pipe here: the launcher's lines must all come
    // out before dfu-util's own.
    EXPECT_EQ(outcome.out, handoffFromBootloader("img.bin") + "dfu-util stand-in ran\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 7) << "dfu-util's status is the launcher's";
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin"));
}

TEST_F(Startup, FurtherArgumentsAreIgnored)
{
    Outcome outcome = run({"--mode", "bootloader"}, {"img.bin", "extra", "--more"});
    EXPECT_EQ(outcome.out, handoffFromBootloader("img.bin") + "dfu-util stand-in ran\n");
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin"));
}

TEST_F(Startup, ImagePathReachesDfuUtilUnchanged)
{
    const std::string awkward = "my image; $(touch hacked) `id` | & *.bin";
    makeFile(awkward);
    Outcome outcome = run({"--mode", "bootloader"}, {awkward});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, awkward));

    makeFolder("work");
    cwd = "work";
    outcome = run({"--mode", "bootloader"}, {"../img.bin"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(path("work"), "../img.bin"))
        << "a relative path is resolved in the launcher's working directory";
}

TEST_F(Startup, NonAsciiSerialNumberPrintsInAUtf8Locale)
{
    extra_env = {"LC_ALL=C.UTF-8"};
    Outcome outcome = run({"--mode", "bootloader", "--serial", "Ωndrix-Ä1"}, {"img.bin"});
    EXPECT_EQ(outcome.out.substr(0, bootloaderBlock("/dev/hidraw0", "Ωndrix-Ä1").size()),
              bootloaderBlock("/dev/hidraw0", "Ωndrix-Ä1"));
}

TEST_F(Startup, FailingHidInitIsReportedBeforeTheArgumentIsLookedAt)
{
    Outcome outcome = runWithHidapiStandIn("init-fails", {});
    EXPECT_EQ(outcome.out, "hid_init() call failed (-1)!");
    EXPECT_EQ(outcome.status, 255);
}

TEST_F(Startup, DevicesThatLeftWhileBeingListedAreNotThere)
{
    // As another run's device does when it switches: hidapi lists it, but
    // without its node.
    for (const Words &args : {Words{"img.bin"}, Words{"--list"}}) {
        Outcome outcome = runWithHidapiStandIn("both-left-while-listed", args);
        EXPECT_EQ(outcome.out, NOT_FOUND) << args[0];
        EXPECT_EQ(outcome.status, 1) << args[0];
    }
}

TEST_F(Startup, DeviceWithoutSerialNumberPrintsAnEmptySerial)
{
    Outcome outcome = runWithHidapiStandIn("bootloader-without-serial", {"img.bin"});
    EXPECT_EQ(outcome.out, handoffFromBootloader("img.bin", bootloaderBlock("/dev/hidraw7", "")) +
                               "dfu-util stand-in ran\n");
}

} // namespace
