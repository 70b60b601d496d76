// Updating from normal mode: the two command reports, the wait for the
// bootloader and the hand-off.

#include "harness.h"

#include <sys/stat.h>

#include <functional>

namespace {

const std::string PRE_MODE_REPORT = commandReport(0xde, 0x12);
const std::string SWITCH_MODE_REPORT = commandReport(0x12, 0x34);

// One request that finds the device at `devnode` and writes to it.
std::string sentCommand(const std::string &devnode, const std::string &dots, const char *sent)
{
    return "Start hid_enumerate\n" + dots + deviceFoundBlock(devnode) + sent;
}

// Both requests, up to "send switch_mode ok".
std::string bothCommandsSent(const std::string &devnode = "/dev/hidraw0", const std::string &dots = "")
{
    return "start check usb mode\n" +
           sentCommand(devnode, dots, "sent the hid command: (2 0xde 0x12).\n") +
           "send pre_mode ok\n" +
           sentCommand(devnode, dots, "sent the hid command: (2 0x12 0x34).\n") +
           "send switch_mode ok\n";
}

const std::string WAIT_LINE = "wait for.......\n";

std::string waitLines(int count)
{
    std::string lines;
    for (int i = 0; i < count; i++)
        lines += WAIT_LINE;
    return lines;
}

std::string handoff(const std::string &bootloader_devnode)
{
    return bootloaderBlock(bootloader_devnode) +
           "start download file: img.bin\n"
           "About to run dfu-util for downloading...\n"
           "dfu-util stand-in ran\n";
}

class ModeSwitch : public LauncherTest {
protected:
    // Runs the update with the bootloader coming on `cue` until a run in
    // which it came in time to tell what the test is about, three runs at
    // most: on a busy machine the simulator, which plays the device, can
    // lag by most of a second. `in_time` says whether it did, from the
    // run and when the bootloader came (seconds of the run).
    Outcome runOnCue(const SignalCue &on, const std::function<bool(const Outcome &, double)> &in_time)
    {
        cue = on;
        Outcome outcome;
        for (int attempt = 1; attempt <= 3; attempt++) {
            outcome = run({"--switch-delay", "signal"}, {"img.bin"});
            double arrived = bootloaderAttachedAt("1-1") - outcome.started_at;
            if (in_time(outcome, arrived))
                return outcome;
            printf("note: run %d of 3 could not tell (the bootloader came %.2f s after the simulator's signal)\n",
                   attempt, arrived - outcome.signalled);
        }
        ADD_FAILURE() << "no run could tell, three times";
        return outcome;
    }
};

TEST_F(ModeSwitch, FullUpdateFromNormalMode)
{
    Outcome outcome = run({"--mode", "normal"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent() + handoff("/dev/hidraw1"));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(reportsReceived(), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin"));
}

// The bootloader comes on a cue from the launcher's own output (a wait
// line), so that on a slow or busy machine it comes at the same point of
// the launcher's schedule. Each sleep lasts at least a second, and the
// first starts after the device received the switch-mode report: slept
// out, the k-th sleep ends no sooner than k seconds after that report,
// whatever the machine's load. Under valgrind, the launcher's first pass
// through the code that takes udev's word in can cost it most of a second
// on a busy machine; there only the output is compared.
TEST_F(ModeSwitch, BootloaderSeenOnlyAtTheFifthProbe)
{
    // 0.3 s into the fourth sleep: the fifth probe finds it. Come after
    // that sleep's second, it would not have been for the fifth probe.
    Outcome outcome = runOnCue({WAIT_LINE, 3, 0.3}, [](const Outcome &run, double arrived) {
        return arrived < arrivalOf(run, WAIT_LINE, 3) + 1.0;
    });
    EXPECT_EQ(outcome.out, bothCommandsSent() + waitLines(4) + handoff("/dev/hidraw1"));
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(ModeSwitch, UdevAnnouncingTheBootloaderCutsTheWaitShort)
{
    // A tenth of a second into the second sleep. udev's word ends that
    // sleep, and the third probe finds it at once: the lines are those of
    // a one-second schedule, but the second wait line comes before two
    // seconds are up. A run cannot tell in which the bootloader came less
    // than a quarter of a second before then, or before the second probe
    // had looked (the lines then differ).
    const std::string expected = bothCommandsSent() + waitLines(2) + handoff("/dev/hidraw1");
    Outcome outcome = runOnCue({WAIT_LINE, 1, 0.1}, [&](const Outcome &run, double arrived) {
        return runsUnderATool() ||
               (run.out == expected && arrived < switchReportAt("1-1") - run.started_at + 1.75);
    });
    EXPECT_EQ(outcome.out, expected);
    if (runsUnderATool())
        return;
    double switched = switchReportAt("1-1") - outcome.started_at;
    double arrived = bootloaderAttachedAt("1-1") - outcome.started_at;
    EXPECT_LT(arrivalOf(outcome, WAIT_LINE, 2), switched + 2.0)
        << "the second sleep was slept out: the bootloader came " << arrived - switched
        << " s after the switch-mode report";
}

TEST_F(ModeSwitch, BootloaderNeverSeenTimesOut)
{
    Outcome outcome = run({"--switch-delay", "never"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent() + waitLines(5) + "timeout error\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(dfuUtilRecord().empty()) << "dfu-util must not run";

    // Standard output is a pipe, as in `fwlaunch img | tee update.log`:
    // each line must come through as its step happens, not at the end of
    // the run (and so not be lost when the run is interrupted).
    double switched = arrivalOf(outcome, "send switch_mode ok\n");
    EXPECT_LT(switched, outcome.seconds - 3) << "the switch was reported only at the end of the run";
    EXPECT_GT(arrivalOf(outcome, "wait for.......\n") - switched, 0.5)
        << "the first wait line came with the switch, not a second later";
}

TEST_F(ModeSwitch, BootloaderAppearingDuringTheLastSleepIsNotLookedFor)
{
    // 0.3 s into the fifth and last sleep, and udev announces it: no probe
    // follows that sleep. Come after that sleep could have ended, it would
    // be missed by a launcher that looks once more as well: such a run
    // tells nothing. The sleep began after the fourth line; that line's
    // time through the pipe, taken as it comes, stands for its start.
    Outcome outcome = runOnCue({WAIT_LINE, 4, 0.3}, [](const Outcome &run, double arrived) {
        return arrived < arrivalOf(run, WAIT_LINE, 4) + 1.0;
    });
    EXPECT_EQ(outcome.out, bothCommandsSent() + waitLines(5) + "timeout error\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(ModeSwitch, WithBothIdentitiesAttachedTheSwitchRuns)
{
    // A second device waits in its bootloader on 1-10; the one in normal
    // mode, on 1-1, is chosen and followed to its own bootloader.
    Outcome outcome = run({"--mode", "both"}, {"img.bin"});
    EXPECT_EQ(outcome.out, "2 ondrix devices attached; updating the one on port 1-1 (choose with --port)\n" +
                               bothCommandsSent() + handoff("/dev/hidraw2"));
    EXPECT_EQ(reportsReceived().size(), 2u);
}

TEST_F(ModeSwitch, DevicesListedFirstEachGetADot)
{
    Outcome outcome = run({"--others", "3"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent("/dev/hidraw3", "...") + handoff("/dev/hidraw4"));
}

TEST_F(ModeSwitch, WalkFindsTheDeviceUpToPosition102AndGivesUpAt103)
{
    Outcome outcome = run({"--others", "101"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent("/dev/hidraw101", std::string(101, '.')) +
                               handoff("/dev/hidraw102"));

    outcome = run({"--others", "102"}, {"img.bin"});
    EXPECT_EQ(outcome.out, "start check usb mode\nStart hid_enumerate\n" + std::string(102, '.') +
                               "did not find usb devicei, program exit (62472)\n"
                               "request pre-mode fail\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(reportsReceived("1-78").empty()) << "the 103rd port in udev's order";
}

TEST_F(ModeSwitch, AnotherMakersF408IsSteppedOver)
{
    Outcome outcome = run({"--foreign-f408"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent("/dev/hidraw1", ".") + handoff("/dev/hidraw2"));
    EXPECT_EQ(reportsReceived("1-10").size(), 2u) << "only the ondrix device records reports";
}

TEST_F(ModeSwitch, DeviceThatCannotBeOpened)
{
    Outcome outcome = run({"--refuse-open"}, {"img.bin"});
    EXPECT_EQ(outcome.out, "start check usb mode\nStart hid_enumerate\n"
                           "Device found but the connection failed. Note that you need to be super-user!\n"
                           "request pre-mode fail\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(ModeSwitch, ShortWriteCountsAsSent)
{
    Outcome outcome = run({"--short-writes"}, {"img.bin"});
    EXPECT_EQ(outcome.out, bothCommandsSent() + handoff("/dev/hidraw1"));
}

TEST_F(ModeSwitch, FailedWriteWhileTheDeviceLeavesForTheBootloader)
{
    // The pre-mode report fails, but the device shows up as the bootloader
    // during the watch: the request counts as done. The switch-mode
    // request then finds no device in normal mode.
    Outcome outcome = run({"--fail-writes", "--switch-delay", "300"}, {"img.bin"});
    EXPECT_EQ(outcome.out, "start check usb mode\nStart hid_enumerate\n" +
                               deviceFoundBlock("/dev/hidraw0") + bootloaderBlock("/dev/hidraw1") +
                               "in usb bootloader mode\n"
                               "send pre_mode ok\n"
                               "Start hid_enumerate\n"
                               ".did not find usb devicei, program exit (62472)\n"
                               "request switch-mode fail\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(reportsReceived(), Words{PRE_MODE_REPORT});
}

// udev writes a new device to its database, initialized, before its last
// builtins have run: the seat's access list (uaccess) among them. Until
// then the node is root's alone, and the run must wait for it, unless
// udev has nothing left to do. Here udev is made to look running, with
// the device in its database and its queue busy, in a mount namespace of
// the run's own; the run is an ordinary user's. Access to the node, and
// udev's idle queue, come a second after the launcher has begun looking:
// a launcher that opens the node at once has failed by then.
TEST_F(ModeSwitch, ANodeNotYetOpenToTheUserIsWaitedFor)
{
    chmod(dir.c_str(), 0755);
    makeFolder("shared");
    chmod(path("shared").c_str(), 0777);
    makeFile("udev-at-work.sh",
             "set -e\n"
             "mount -t tmpfs -o mode=0755 tmpfs /run\n"
             "mkdir -p /run/udev/data /run/lock\n"
             "chmod 1777 /run/lock\n"
             ": > /run/udev/control\n"
             ": > /run/udev/queue\n"
             "for id in +hidraw:hidraw0 +hidraw:hidraw1 +usb:1-1; do echo I:1 > /run/udev/data/$id; done\n"
             // The testbed's node is a link to a terminal, its handler a socket.
             "node=$(readlink \"$UMOCKDEV_DIR/dev/hidraw0\")\n"
             "chmod 0600 \"$node\"\n"
             "chmod 0666 \"$UMOCKDEV_DIR/ioctl/dev/hidraw0\"\n"
             "setpriv --reuid=65534 --regid=65534 --clear-groups env DFU_UTIL_RECORD=shared/record "
             "\"$FWLAUNCH\" img.bin > shared/out 2>&1 & a=$!\n"
             "i=0; until grep -q 'Start hid_enumerate' shared/out || [ $i -gt 500 ]; do sleep 0.02; i=$((i + 1)); done\n"
             "sleep 1\n"
             "chmod 0666 \"$node\"\n"
             "rm /run/udev/queue\n"
             "set +e; wait $a; echo $?\n");
    Outcome outcome = runShell({"--mode", "normal"}, "exec unshare --mount /bin/sh udev-at-work.sh");
    EXPECT_EQ(outcome.out, "0\n") << outcome.err;
    EXPECT_EQ(readFile(path("shared/out")), bothCommandsSent() + handoff("/dev/hidraw1"));
    EXPECT_EQ(reportsReceived(), (Words{PRE_MODE_REPORT, SWITCH_MODE_REPORT}));
}

// The one slow test: the watch lasts 15 s of the launcher's processor time.
TEST_F(ModeSwitch, FailedWriteWithNoBootloaderIsAFailure)
{
    Outcome outcome = run({"--fail-writes", "--switch-delay", "never"}, {"img.bin"});
    EXPECT_EQ(outcome.out, "start check usb mode\nStart hid_enumerate\n" +
                               deviceFoundBlock("/dev/hidraw0") + "request pre-mode fail\n");
    EXPECT_EQ(outcome.status, 1);
    // A shorter watch gives the same output: only its length tells.
    EXPECT_GE(outcome.cpu_seconds, 15.0) << "the watch gave up early";
}

} // namespace
