// The simulated bus itself: several ondrix devices at once, each on its
// own port, and what the simulator tells udev monitors and its log.

#include "harness.h"

namespace {

// The switch-mode report, written straight to a hidraw node. umockdev
// follows only the descriptor open() returned (not a copy made by dup2,
// as the shell's redirection makes), so the writer opens the node itself.
std::string switchModeReportTo(const std::string &devnode)
{
    return "python3 -c \"import os; os.write(os.open('" + devnode + "', os.O_RDWR), bytes([2, 0x12, 0x34]))\"";
}

std::string logLine(const std::string &log, const std::string &start)
{
    size_t at = log.find(start);
    return at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
}

using SimulatedBus = LauncherTest;

TEST_F(SimulatedBus, EachDeviceSwitchesAloneAndComesBackOnItsOwnPort)
{
    Outcome outcome = simulate({"--also", "normal", "--also", "bootloader"},
                               {"sh", "-c", switchModeReportTo("/dev/hidraw1") + " && cd /sys/bus/usb/devices &&"
                                "  for port in 1-1 1-10 1-100; do"
                                "    echo $port $(cat $port/idProduct $port/devnum $port/serial);"
                                "  done;"
                                "  echo $(ls /dev) / $(ls /dev/bus/usb/001) / $(ls /sys/class/hidraw)"});
    EXPECT_EQ(outcome.out, "1-1 f408 2 OX-000001\n"
                           "1-10 f003 5 OX-000002\n"
                           "1-100 f003 4 OX-000003\n"
                           "bus hidraw0 hidraw2 hidraw3 / 002 004 005 / hidraw0 hidraw2 hidraw3\n")
        << "nothing of the normal-mode device on 1-10 may be left";
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(reportsReceived("1-10"), Words{"02 12 34"});
    EXPECT_TRUE(reportsReceived("1-1").empty());
    std::string log = simulatorLog();
    EXPECT_NE(logLine(log, "1-10 command report at "), "") << log;
    EXPECT_NE(logLine(log, "1-10 bootloader attached at "), "") << log;
    EXPECT_EQ(logLine(log, "1-1 bootloader"), "");
    EXPECT_EQ(logLine(log, "download"), "download 040e:f003 on 1-10 0 bytes");
    EXPECT_EQ(logLine(log, "download 040e:f003 on 1-100"), "download 040e:f003 on 1-100 0 bytes");
}

TEST_F(SimulatedBus, UdevMonitorsSeeTheDeviceLeaveAndItsBootloaderArrive)
{
    Outcome outcome = simulate({"--also", "normal"},
                               {UDEV_WATCH, "sh", "-c", switchModeReportTo("/dev/hidraw1")});
    EXPECT_EQ(outcome.out, "remove hidraw hidraw1\n"
                           "remove hid 0003:040E:F408.0002\n"
                           "remove usb_interface 1-10:1.0\n"
                           "remove usb_device 1-10\n"
                           "add usb_device 1-10\n"
                           "add usb_interface 1-10:1.0\n"
                           "add hid 0003:040E:F003.0003\n"
                           "add hidraw hidraw2 on 1-10 f003\n");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST_F(SimulatedBus, ListenersStartedAlikeBothHearTheAnnouncements)
{
    // Two programs started alike (both in the background here) get the
    // same descriptor for their udev monitor, as every dfu-util does; the
    // second must not take the first one's place in the testbed.
    makeFile("first.sh", "touch first.ready; while [ ! -e switched ]; do sleep 0.05; done\n");
    makeFile("second.sh", switchModeReportTo("/dev/hidraw0") + " && touch switched\n");
    const std::string watch = std::string(UDEV_WATCH) + " sh ";
    Outcome outcome = simulate({}, {"sh", "-c", watch + "first.sh > first.out & "
                                    "while [ ! -e first.ready ]; do sleep 0.05; done; " +
                                    watch + "second.sh > second.out & wait; cat first.out; echo; cat second.out"});
    const std::string announcements = "remove hidraw hidraw0\n"
                                      "remove hid 0003:040E:F408.0001\n"
                                      "remove usb_interface 1-1:1.0\n"
                                      "remove usb_device 1-1\n"
                                      "add usb_device 1-1\n"
                                      "add usb_interface 1-1:1.0\n"
                                      "add hid 0003:040E:F003.0002\n"
                                      "add hidraw hidraw1 on 1-1 f003\n";
    EXPECT_EQ(outcome.out, announcements + "\n" + announcements);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST_F(SimulatedBus, AnAnnouncementToAListenerThatHasGoneIsDropped)
{
    // A listener's socket removed after umockdev found it and before it
    // connected (a launcher handing over to dfu-util while another device
    // switches), here a link to nothing all along: it must not end the
    // simulation.
    Outcome outcome = simulate({}, {"sh", "-c", "ln -s gone \"$UMOCKDEV_DIR/event98\" && " +
                                                    switchModeReportTo("/dev/hidraw0") +
                                                    " && cat /sys/bus/usb/devices/1-1/idProduct"});
    EXPECT_EQ(outcome.out, "f003\n");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST_F(SimulatedBus, ParallelDownloadsEachReachTheirOwnBootloader)
{
    makeFile("a.bin", std::string(3000, 'a'));
    makeFile("b.bin", std::string(5000, 'b'));
    search_path = "/usr/bin:/bin";
    const std::string download = "dfu-util -d 040e:f003,040e:f003 -a 0";
    Outcome outcome = simulate({"--mode", "bootloader", "--also", "bootloader", "--also", "normal",
                                "--verify", "1-1=a.bin", "--verify", "1-10=b.bin", "--verify", "1-100=a.bin"},
                               {"sh", "-c", download + " -p 1-1 -D a.bin > a.out 2>&1 & " +
                                download + " -p 1-10 -D b.bin > b.out 2>&1; wait"});
    EXPECT_EQ(outcome.err, "ondrix-sim: the device on 1-1 received a.bin intact (3000 bytes)\n"
                           "ondrix-sim: the device on 1-10 received b.bin intact (5000 bytes)\n"
                           "ondrix-sim: the device on 1-100 did not receive a.bin intact "
                           "(0 of 3000 bytes, download not finished)\n");
    EXPECT_EQ(outcome.status, 1) << "a failed check fails the run";
    std::string log = simulatorLog();
    EXPECT_EQ(logLine(log, "download 040e:f003 on 1-1 "), "download 040e:f003 on 1-1 3000 bytes complete");
    EXPECT_EQ(logLine(log, "download 040e:f003 on 1-10 "), "download 040e:f003 on 1-10 5000 bytes complete");
    EXPECT_EQ(logLine(log, "download 040e:f003 on 1-100"), "") << "never in its bootloader";
}


TEST_F(SimulatedBus, OnlyOneProgramAtATimeClaimsTheBootloader)
{
    // As on a real kernel: the second dfu-util cannot claim the interface
    // the first holds, and the first downloads undisturbed.
    makeFile("a.bin", std::string(60000, 'a'));
    search_path = "/usr/bin:/bin";
    const std::string download = "dfu-util -d 040e:f003,040e:f003 -a 0 -D a.bin";
    Outcome outcome = simulate({"--mode", "bootloader", "--verify", "a.bin"},
                               {"sh", "-c", download + " > a.out 2>&1 & " + download +
                                                " > b.out 2>&1; b=$?; wait $!; echo $? $b"});
    EXPECT_TRUE(outcome.out == "0 74\n" || outcome.out == "74 0\n") << outcome.out;
    EXPECT_EQ(outcome.err, "ondrix-sim: the device received a.bin intact (60000 bytes)\n");
}

TEST_F(SimulatedBus, AClaimEndsWithTheProgramThatHeldIt)
{
    // As the kernel does when a program ends holding the DFU interface (a
    // dfu-util killed mid-download): the next one may claim it.
    makeFile("a.bin", std::string(3000, 'a'));
    search_path = "/usr/bin:/bin";
    const std::string claim_and_end =
        "python3 -c \"import fcntl, os, struct; "
        "fcntl.ioctl(os.open('/dev/bus/usb/001/002', os.O_RDWR), 0x8004550f, struct.pack('I', 1)); os._exit(0)\"";
    Outcome outcome = simulate({"--mode", "bootloader", "--verify", "a.bin"},
                               {"sh", "-c", claim_and_end + " && dfu-util -d 040e:f003,040e:f003 -a 0 -D a.bin"
                                                            " > a.out 2>&1; echo $?"});
    EXPECT_EQ(outcome.out, "0\n") << readFile(path("a.out"));
    EXPECT_EQ(outcome.err, "ondrix-sim: the device received a.bin intact (3000 bytes)\n");
}

// Shell: waits (5 s at most) until `file` has a line matching `pattern`.
std::string awaitLine(const std::string &file, const std::string &pattern)
{
    return "i=0; until grep -q '" + pattern + "' " + file + " || [ $i -gt 500 ]; do sleep 0.01; i=$((i + 1)); done; ";
}

std::string awaitLogged(const std::string &event)
{
    return awaitLine("sim.log", "^" + event);
}

const std::string SIGNAL_SIMULATOR = "kill -USR2 $PPID; ";

struct BusChange {
    const char *name;
    Words sim_options;
    std::string script;  // before the listing
    std::string listed;  // by fwlaunch --list, after it
};

TEST_F(SimulatedBus, DevicesArePluggedAndPulledOutWhileTheCommandRuns)
{
    const BusChange changes[] = {
        {"plugged at a set time, without a serial number", {"--plug", "50:normal:-"},
         awaitLogged("1-10 plugged in normal mode at "),
         "1-1  normal  040e:f408  /dev/hidraw0  OX-000001\n1-10  normal  040e:f408  /dev/hidraw1  -\n"},
        {"plugged in its bootloader on a signal", {"--mode", "none", "--plug", "signal:bootloader"},
         SIGNAL_SIMULATOR + awaitLogged("1-1 plugged in bootloader mode at "),
         "1-1  bootloader  040e:f003  /dev/hidraw0  OX-000002\n"},
        {"each signal the next event, in order", {"--plug", "signal:normal:SN-7", "--unplug", "signal:1-1"},
         SIGNAL_SIMULATOR + awaitLogged("1-10 plugged") + SIGNAL_SIMULATOR + awaitLogged("1-1 unplugged at "),
         "1-10  normal  040e:f408  /dev/hidraw1  SN-7\n"},
        {"replugged: back on its port on a new node", {"--also", "bootloader", "--replug", "0:1-10"},
         awaitLogged("1-10 replugged at "),
         "1-1  normal  040e:f408  /dev/hidraw0  OX-000001\n1-10  normal  040e:f408  /dev/hidraw2  OX-000002\n"},
    };
    for (const BusChange &change : changes) {
        SCOPED_TRACE(change.name);
        Outcome outcome = runShell(change.sim_options, change.script + "\"$FWLAUNCH\" --list");
        EXPECT_EQ(outcome.out, change.listed) << simulatorLog();
        EXPECT_EQ(outcome.err, "");
    }
}

TEST_F(SimulatedBus, ABootloaderResetsOnceDfuUtilIsDoneWithIt)
{
    // At once: a bootloader gone before dfu-util has asked for the last
    // status fails the download (dfu-util 0.11 exits with 74).
    makeFile("a.bin", std::string(3000, 'a'));
    search_path = "/usr/bin:/bin";
    Outcome outcome = runShell({"--mode", "bootloader", "--reset-after-download", "0", "--verify", "a.bin"},
                               "dfu-util -d 040e:f003,040e:f003 -a 0 -D a.bin > a.out 2>&1; echo $?; " +
                                   awaitLogged("1-1 reset into normal mode at ") + "\"$FWLAUNCH\" --list");
    EXPECT_EQ(outcome.out, "0\n1-1  normal  040e:f408  /dev/hidraw1  OX-000001\n") << readFile(path("a.out"));
    EXPECT_NE(readFile(path("a.out")).find("Done!"), std::string::npos);
    EXPECT_EQ(outcome.err, "ondrix-sim: the device received a.bin intact (3000 bytes)\n");
    const std::string log = simulatorLog();
    EXPECT_NE(logLine(log, "1-1 download 1 complete at "), "") << log;
    EXPECT_EQ(logLine(log, "1-1 download 2"), "") << "one download";
}

TEST_F(SimulatedBus, ADownloadFailsWhenTheBootloaderIsPulledOut)
{
    makeFile("a.bin", std::string(60 * 1024, 'a'));
    search_path = "/usr/bin:/bin";
    Outcome outcome = runShell({"--mode", "bootloader", "--flash-time", "20", "--unplug", "signal:1-1"},
                               "timeout 20 dfu-util -d 040e:f003,040e:f003 -a 0 -D a.bin > a.out 2>&1 & " +
                                   awaitLine("a.out", "Copying") + SIGNAL_SIMULATOR + "wait $!; echo $?");
    EXPECT_EQ(outcome.out, "74\n") << readFile(path("a.out"));
    EXPECT_NE(readFile(path("a.out")).find("LIBUSB_ERROR_NO_DEVICE"), std::string::npos);
}

// With a write time per block, the bootloader answers each block's status
// request with dfuDNBUSY and the time left; dfu-util waits that long and
// asks again, so a download takes about blocks x write time (under 0.1 s
// without it).
const int BLOCKS = 10;  // of the simulated bootloader's 1024 bytes
const int FLASH_TIME_MS = 100;
// From dfu-util's report of its first wait, at the end of the first block,
// to its end: the other blocks' write time.
const double SPAN_SECONDS = (BLOCKS - 1) * FLASH_TIME_MS / 1000.0;

// Runs the real dfu-util -v -v into the bootloader on `port`, its standard
// output into NAME.out and its standard error into NAME.err, and prints
// SPAN (in milliseconds) on a line of its own: from its report of the
// first wait to its end. Its start, which a crowded machine slows most, is
// not counted.
std::string timedDownload(const std::string &port, const std::string &image, const std::string &name)
{
    return "dfu-util -v -v -d 040e:f003,040e:f003 -a 0 -p " + port + " -D " + image + " 2>&1 >" + name +
           ".out | tee " + name + ".err | { while read -r line; do case \"$line\" in 'Poll timeout'*) break;; "
           "esac; done; start=$(date +%s%N); cat > /dev/null; end=$(date +%s%N); "
           "echo " + name + " $(((end - start) / 1000000)); }";
}

// The span timedDownload printed for NAME, in seconds.
double span(const Outcome &outcome, const std::string &name)
{
    size_t at = outcome.out.find(name + " ");
    return at == std::string::npos ? -1 : std::stod(outcome.out.substr(at + name.size() + 1)) / 1000;
}

// The poll timeouts dfu-util -v -v reports waiting, in order.
std::vector<int> pollTimeouts(const std::string &err)
{
    std::vector<int> timeouts;
    const std::string mark = "Poll timeout ";
    for (size_t at = err.find(mark); at != std::string::npos; at = err.find(mark, at + 1))
        timeouts.push_back(std::stoi(err.substr(at + mark.size())));
    return timeouts;
}

// Asked right after its block, the device has about the whole write time
// left, and once dfu-util has waited that long, the block is written: one
// wait per block, none longer than the write time, together about all of
// it. A device held up by another's write would ask for more waits; one
// that wrote while it answered would ask for none. Neither depends on how
// busy the machine is, as a bound on the download's time would.
void expectOneWaitPerBlock(const std::string &dfu_util_err)
{
    std::vector<int> timeouts = pollTimeouts(dfu_util_err);
    int waited = 0;
    for (int timeout : timeouts) {
        EXPECT_TRUE(timeout > 0 && timeout <= FLASH_TIME_MS) << timeout;
        waited += timeout;
    }
    EXPECT_LE(timeouts.size(), size_t(BLOCKS)) << "at most one wait per block:\n" << dfu_util_err;
    EXPECT_GT(waited, 0.8 * BLOCKS * FLASH_TIME_MS) << dfu_util_err;
}

TEST_F(SimulatedBus, TheBootloaderTakesItsWriteTimeForEachBlock)
{
    makeFile("a.bin", std::string(BLOCKS * 1024, 'a'));
    search_path = "/usr/bin:/bin";
    Outcome outcome = simulate({"--mode", "bootloader", "--flash-time", std::to_string(FLASH_TIME_MS),
                                "--verify", "a.bin"},
                               {"sh", "-c", timedDownload("1-1", "a.bin", "a")});
    EXPECT_EQ(outcome.err, "ondrix-sim: the device received a.bin intact (10240 bytes)\n");
    EXPECT_EQ(outcome.status, 0);
    expectOneWaitPerBlock(readFile(path("a.err")));
    EXPECT_NE(readFile(path("a.out")).find("DFU state(2) = dfuIDLE, status(0) = No error condition is present\n"
                                           "Done!\n"),
              std::string::npos) << "the end of the download is not busy";
    EXPECT_GT(span(outcome, "a"), SPAN_SECONDS - 0.1) << outcome.out;
}

TEST_F(SimulatedBus, DevicesWriteTheirFlashAtTheSameTime)
{
    // Three downloads side by side: each device asks for its own write
    // time per block and no more, whatever the others are writing.
    makeFile("a.bin", std::string(BLOCKS * 1024, 'a'));
    makeFile("b.bin", std::string(BLOCKS * 1024, 'b'));
    makeFile("c.bin", std::string(BLOCKS * 1024, 'c'));
    search_path = "/usr/bin:/bin";
    Outcome outcome = simulate({"--mode", "bootloader", "--also", "bootloader", "--also", "bootloader",
                                "--flash-time", std::to_string(FLASH_TIME_MS),
                                "--verify", "1-1=a.bin", "--verify", "1-10=b.bin", "--verify", "1-100=c.bin"},
                               {"sh", "-c", timedDownload("1-1", "a.bin", "a") + " & " +
                                                timedDownload("1-10", "b.bin", "b") + " & " +
                                                timedDownload("1-100", "c.bin", "c") + " & wait"});
    EXPECT_EQ(outcome.err, "ondrix-sim: the device on 1-1 received a.bin intact (10240 bytes)\n"
                           "ondrix-sim: the device on 1-10 received b.bin intact (10240 bytes)\n"
                           "ondrix-sim: the device on 1-100 received c.bin intact (10240 bytes)\n");
    EXPECT_EQ(outcome.status, 0);
    for (const char *name : {"a", "b", "c"}) {
        expectOneWaitPerBlock(readFile(path(std::string(name) + ".err")));
        EXPECT_GT(span(outcome, name), SPAN_SECONDS - 0.1) << name << "\n" << outcome.out;
    }
}

} // namespace
