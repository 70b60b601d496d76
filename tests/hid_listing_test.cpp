// What the launcher makes of the HID devices it lists: one that leaves
// the bus while it is being listed, and one device with two HID
// interfaces.

#include "harness.h"

namespace {

const std::string PRE_MODE_REPORT = commandReport(0xde, 0x12);
const std::string SWITCH_MODE_REPORT = commandReport(0x12, 0x34);

std::string lastLine(const std::string &text)
{
    Words lines = linesOf(text);
    return lines.empty() ? "" : lines.back();
}

Words withLeavingDevice(const std::string &kind, Words sim_options)
{
    sim_options.insert(sim_options.begin(), {"--leaving-hid", kind});
    return sim_options;
}

using HidListing = LauncherTest;

TEST_F(HidListing, ADeviceLeavingWhileListedIsLeftOutOfEveryListing)
{
    // A device listed first, caught leaving: hidapi 0.13 and 0.14 crash on
    // it, another maker's in any listing, an ondrix device (as another
    // run's, switching) in the listings by vendor and product too. Each
    // run goes as if it had never been there.
    struct Run {
        Words sim_options;
        Words args;
    };
    const std::vector<Run> runs = {
        {{"--others", "1"}, {"img.bin"}},
        {{"--also", "normal"}, {"--serial", "OX-000002", "img.bin"}},
        {{"--also", "bootloader"}, {"--list"}},
    };
    for (const std::string kind : {"other", "ondrix"}) {
        for (const Run &each : runs) {
            Outcome alone = run(each.sim_options, each.args);
            Outcome beside = run(withLeavingDevice(kind, each.sim_options), each.args);
            EXPECT_EQ(alone.status, 0) << each.args[0] << "\n" << alone.out;
            EXPECT_EQ(beside.out, alone.out) << kind << " " << each.args[0];
            EXPECT_EQ(beside.status, alone.status) << kind << " " << each.args[0];
        }
        Outcome all = run(withLeavingDevice(kind, {"--also", "normal", "--also", "normal"}), {"--all", "img.bin"});
        EXPECT_EQ(lastLine(all.out), "3 of 3 ondrix devices updated") << kind << "\n" << all.out;
        EXPECT_EQ(all.status, 0) << kind;
    }
}

TEST_F(HidListing, ADeviceWithTwoHidInterfacesIsOneDevice)
{
    Outcome list = run({"--two-interfaces"}, {"--list"});
    EXPECT_EQ(list.out, "1-1  normal  040e:f408  /dev/hidraw0  OX-000001\n");

    Outcome all = run({"--two-interfaces"}, {"--all", "img.bin"});
    EXPECT_EQ(lastLine(all.out), "1 of 1 ondrix devices updated");
    EXPECT_EQ(reportsReceived("1-1"), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-1"));
}

} // namespace
