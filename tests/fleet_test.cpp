// A whole bench at once: --all updates every attached ondrix device side
// by side and sums up; --serial chooses a device by its serial number.
//
// The simulator's ondrix devices sit on ports 1-1, 1-10, 1-100, 1-101 in
// the order they are added.

#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <regex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string NOT_FOUND = "don't found any ondrix hid device\n"
                              "please check if you has plun in a ondrix usb device\n";

// Two devices in normal mode, one waiting in its bootloader, and one in
// normal mode whose bootloader fails to write the image's third block.
const Words BENCH_OF_FOUR = {"--mode", "normal", "--fail-download-after", "2", "--also", "normal",
                             "--also", "bootloader", "--also", "normal"};
const Words FOUR_GOOD = {"--mode", "normal", "--also", "normal", "--also", "bootloader", "--also", "normal"};

std::string firmwareImage(size_t size)
{
    std::mt19937 generator(7);
    std::string image(size, '\0');
    for (char &byte : image)
        byte = static_cast<char>(generator());
    return image;
}

// The lines passed on for `port`, without their prefix, in the order
// they came.
Words linesFrom(const std::string &text, const std::string &port)
{
    Words lines;
    const std::string prefix = "[" + port + "]";
    for (const std::string &line : linesOf(text))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line.size() == prefix.size() ? "" : line.substr(prefix.size() + 1));
    return lines;
}

// The run's last lines: one per port and the count.
Words summaryOf(const std::string &out, size_t devices)
{
    Words lines = linesOf(out);
    if (lines.size() < devices + 1)
        return lines;
    return Words(lines.end() - static_cast<long>(devices) - 1, lines.end());
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class UpdateAll : public LauncherTest {
protected:
    void SetUp() override
    {
        LauncherTest::SetUp();
        makeFile("firmware.bin", firmwareImage(20000));
    }

    void useRealDfuUtil() { search_path = "/usr/bin:/bin"; }

    Words verifyEach(const Words &ports, Words sim_options) const
    {
        for (const std::string &port : ports)
            sim_options.insert(sim_options.end(), {"--verify", port + "=firmware.bin"});
        return sim_options;
    }
};

// What one device's child says, up to dfu-util: node numbers vary with
// the order in which the bootloaders come back.
Words launcherLinesFromNormal(const std::string &serial)
{
    return {"start check usb mode",
            "Start hid_enumerate",
            "Device Found",
            "  type: 040e:f408",
            "  path: /dev/hidrawN",
            "  serial_number: " + serial,
            "sent the hid command: (2 0xde 0x12).",
            "send pre_mode ok",
            "Start hid_enumerate",
            "Device Found",
            "  type: 040e:f408",
            "  path: /dev/hidrawN",
            "  serial_number: " + serial,
            "sent the hid command: (2 0x12 0x34).",
            "send switch_mode ok",
            "",
            "Usb bootloader mode:",
            "  type: 040e:f003",
            "  path: /dev/hidrawN",
            "  serial_number: " + serial,
            "start download file: firmware.bin",
            "About to run dfu-util for downloading..."};
}

Words withoutNodeNumbers(Words lines, size_t count)
{
    lines.resize(std::min(lines.size(), count));
    for (std::string &line : lines)
        line = std::regex_replace(line, std::regex("/dev/hidraw[0-9]+"), "/dev/hidrawN");
    return lines;
}

TEST_F(UpdateAll, EveryDeviceIsUpdatedSideBySideAndTheSummarySaysWhichFailed)
{
    useRealDfuUtil();
    Outcome outcome = run(verifyEach({"1-10", "1-100", "1-101"}, BENCH_OF_FOUR), {"--all", "firmware.bin"});
    EXPECT_EQ(linesOf(outcome.out).front(), "updating 4 ondrix devices: 1-1, 1-10, 1-100, 1-101");
    EXPECT_EQ(summaryOf(outcome.out, 4),
              (Words{"1-1    failed (status 74): DFU state(10) = dfuERROR, status(3) = Device is unable to write "
                     "memory",
                     "1-10   updated", "1-100  updated", "1-101  updated", "3 of 4 ondrix devices updated"}))
        << outcome.out;
    EXPECT_EQ(outcome.status, 1);
    for (const char *port : {"1-10", "1-100", "1-101"})
        EXPECT_TRUE(contains(outcome.err, std::string("the device on ") + port + " received firmware.bin intact"))
            << outcome.err;
}

TEST_F(UpdateAll, AllGoodIsStatusZero)
{
    useRealDfuUtil();
    Outcome outcome = run(verifyEach({"1-1", "1-10", "1-100", "1-101"}, FOUR_GOOD), {"--all", "firmware.bin"});
    EXPECT_EQ(linesOf(outcome.out).back(), "4 of 4 ondrix devices updated") << outcome.out;
    EXPECT_EQ(outcome.status, 0) << outcome.err;
}

TEST_F(UpdateAll, EachChildsLinesAreWholeInOrderAndFreeOfProgressNoise)
{
    useRealDfuUtil();
    Outcome outcome = run(FOUR_GOOD, {"--all", "firmware.bin"});
    EXPECT_EQ(outcome.out.find('\r'), std::string::npos) << "a log file holds no carriage return";
    for (const auto &[port, serial] : {std::pair{"1-1", "OX-000001"}, {"1-10", "OX-000002"}, {"1-101", "OX-000004"}}) {
        Words lines = linesFrom(outcome.out, port);
        Words expected = launcherLinesFromNormal(serial);
        EXPECT_EQ(withoutNodeNumbers(lines, expected.size()), expected) << port << "\n" << outcome.out;
        // dfu-util's progress bar, down to its last state.
        Words bars;
        for (const std::string &line : lines)
            if (line.compare(0, 9, "Download\t") == 0)
                bars.push_back(line);
        EXPECT_EQ(bars, Words{"Download\t[=========================] 100%        20000 bytes"}) << port;
        EXPECT_EQ(lines.back(), "Done!") << port;
    }
    // Whatever else the children wrote (dfu-util's warnings) is prefixed too.
    for (const std::string &line : linesOf(outcome.err))
        if (!contains(line, "ondrix-sim"))
            EXPECT_TRUE(std::regex_match(line, std::regex("\\[1-1(0|00|01)?\\] .*"))) << line;
}

TEST_F(UpdateAll, JobsLimitsHowManyRunAtOnce)
{
    Outcome outcome = run({"--mode", "normal", "--also", "normal", "--also", "bootloader"},
                          {"--all", "--jobs", "1", "firmware.bin"});
    EXPECT_EQ(linesOf(outcome.out).front(), "updating 3 ondrix devices, 1 at a time: 1-1, 1-10, 1-100");
    // One at a time: each device's lines come in one piece.
    Words order;
    for (const std::string &line : linesOf(outcome.out)) {
        std::string port = line[0] == '[' ? line.substr(1, line.find(']') - 1) : "";
        if (!port.empty() && (order.empty() || order.back() != port))
            order.push_back(port);
    }
    EXPECT_EQ(order, (Words{"1-1", "1-10", "1-100"})) << outcome.out;
    EXPECT_EQ(linesOf(outcome.out).back(), "3 of 3 ondrix devices updated");
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(UpdateAll, APortHeldByAnotherRunIsBusyAndTheOthersAreUpdated)
{
    Outcome outcome = runShell({"--mode", "bootloader", "--also", "normal"},
                               "DFU_UTIL_SECONDS=30 \"$FWLAUNCH\" --port 1-1 img.bin > a.out 2>&1 & a=$!\n"
                               "while [ ! -s \"$DFU_UTIL_RECORD\" ]; do sleep 0.05; done\n"
                               "\"$FWLAUNCH\" --all img.bin; b=$?\n"
                               "echo \"$a\" > holder; kill -KILL $a; exit $b");
    const std::string holder = readFile(path("holder")).substr(0, readFile(path("holder")).size() - 1);
    EXPECT_EQ(summaryOf(outcome.out, 2), (Words{"1-1   busy: another run is updating it (process " + holder + ")",
                                                "1-10  updated", "1 of 2 ondrix devices updated"}))
        << outcome.out;
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(contains(outcome.err, "[1-1] fwlaunch: the ondrix device on port 1-1 is being updated by another "
                                      "run (process " + holder + ")\n"))
        << outcome.err;
}

TEST_F(UpdateAll, AnInterruptedRunNamesTheDevicesLeftInTheirBootloaderAndTheNextRunFinishes)
{
    makeFile("dfu-util-after", "");
    std::string script =
        // Every device's download hangs in the stand-in until the run is
        // interrupted; the second run gets the real dfu-util.
        "DFU_UTIL_SECONDS=30 \"$FWLAUNCH\" --all firmware.bin > a.out 2> a.err & a=$!\n"
        "until [ \"$(grep -c 'dfu-util stand-in ran' a.out)\" = 3 ]; do sleep 0.05; done\n"
        "kill -INT $a; wait $a; echo $? > a.status\n"
        "PATH=/usr/bin:/bin \"$FWLAUNCH\" --all firmware.bin > b.out 2> b.err; echo $? > b.status\n";
    Outcome outcome = runShell(verifyEach({"1-1", "1-10", "1-100"},
                                          {"--mode", "normal", "--also", "bootloader", "--also", "normal"}),
                               script);
    EXPECT_EQ(readFile(path("a.status")), "130\n") << readFile(path("a.out"));
    EXPECT_EQ(summaryOf(readFile(path("a.out")), 3),
              (Words{"1-1    interrupted, left in its bootloader", "1-10   interrupted, left in its bootloader",
                     "1-100  interrupted, left in its bootloader", "0 of 3 ondrix devices updated"}));
    const std::string second = readFile(path("b.out"));
    EXPECT_EQ(readFile(path("b.status")), "0\n") << second << readFile(path("b.err"));
    for (const char *port : {"1-1", "1-10", "1-100"})
        EXPECT_TRUE(contains(second, std::string("[") + port + "] the divce is already in usb bootloader mode\n"))
            << second;
    EXPECT_EQ(linesOf(second).back(), "3 of 3 ondrix devices updated");
    EXPECT_TRUE(contains(outcome.err, "received firmware.bin intact")) << outcome.err;
    EXPECT_EQ(outcome.status, 0) << "every image arrived intact:\n" << outcome.err;
}

TEST_F(UpdateAll, SigtermStopsTheRunWithStatus143)
{
    Outcome outcome = runShell({"--mode", "bootloader"},
                               "DFU_UTIL_SECONDS=30 \"$FWLAUNCH\" --all img.bin > a.out 2> a.err & a=$!\n"
                               "while [ ! -s \"$DFU_UTIL_RECORD\" ]; do sleep 0.05; done\n"
                               "kill -TERM $a; wait $a; echo $?");
    EXPECT_EQ(outcome.out, "143\n");
    EXPECT_EQ(summaryOf(readFile(path("a.out")), 1),
              (Words{"1-1  interrupted, left in its bootloader", "0 of 1 ondrix devices updated"}));
}

// Nothing the user did not ask for cuts an update short: a reader of the
// output that goes away, for --all and for a single run.
TEST_F(UpdateAll, AReaderThatGoesAwayCutsNothingShort)
{
    useRealDfuUtil();
    struct Case {
        std::string args;
        int lines_read;
        Words devices;
        std::string last_error_line; // --all sums up on standard error
    } cases[] = {{"--all firmware.bin", 3, {"1-1", "1-10", "1-100", "1-101"}, "4 of 4 ondrix devices updated"},
                 {"firmware.bin", 2, {"1-1"}, "dfu-util: A valid DFU suffix will be required in a future dfu-util release"}};
    for (const Case &c : cases) {
        Words sim = {"--flash-time", "100", "--mode", "normal"};
        for (size_t i = 1; i < c.devices.size(); i++)
            sim.insert(sim.end(), {"--also", "normal"});
        Outcome outcome = runShell(verifyEach(c.devices, sim),
                                   "{ \"$FWLAUNCH\" " + c.args + " 2> a.err; echo $? > a.status; } | head -n " +
                                       std::to_string(c.lines_read) + " > /dev/null");
        EXPECT_EQ(readFile(path("a.status")), "0\n") << c.args << "\n" << readFile(path("a.err"));
        EXPECT_EQ(outcome.status, 0) << c.args << ": every image intact\n" << outcome.err;
        EXPECT_EQ(linesOf(readFile(path("a.err"))).back(), c.last_error_line) << c.args;
    }
}

// SIGINT and SIGTERM stop every update; a hang-up (a closed terminal, a
// lost ssh connection) lets the running ones end and starts no more.
TEST_F(UpdateAll, OnlyAStopSignalStopsTheUpdates)
{
    useRealDfuUtil();
    struct Case {
        std::string kill;
        std::string status;
        Words summary;
    } cases[] = {
        {"kill -HUP $a", "1\n", {"1-1    updated", "1-10   updated", "1-100  not started", "2 of 3 ondrix devices updated"}},
        {"kill -HUP -$a", "1\n",
         {"1-1    updated", "1-10   updated", "1-100  not started", "2 of 3 ondrix devices updated"}},
        {"kill -INT $a", "130\n",
         {"1-1    interrupted, left in its bootloader", "1-10   interrupted, left in its bootloader",
          "1-100  not started", "0 of 3 ondrix devices updated"}},
    };
    for (const Case &c : cases) {
        Words sim = {"--flash-time", "100", "--mode", "normal", "--also", "normal", "--also", "normal"};
        bool updates_end = c.status == "1\n";
        // a.out is emptied before the run starts: the wait below must not
        // read the previous case's, and signal a run not yet listening.
        Outcome outcome = runShell(
            updates_end ? verifyEach({"1-1", "1-10"}, sim) : sim,
            ": > a.out\n"
            "setsid \"$FWLAUNCH\" --all --jobs 2 firmware.bin > a.out 2> a.err & a=$!\n"
            "until [ \"$(grep -c 'About to run dfu-util' a.out)\" = 2 ]; do sleep 0.05; done\n" +
                c.kill + "; wait $a; echo $? > a.status\n");
        EXPECT_EQ(readFile(path("a.status")), c.status) << c.kill << "\n" << readFile(path("a.out"));
        EXPECT_EQ(summaryOf(readFile(path("a.out")), 3), c.summary) << c.kill;
        EXPECT_EQ(reportsReceived("1-100"), Words{}) << c.kill << ": a queued device is never touched";
        if (updates_end)
            EXPECT_EQ(outcome.status, 0) << c.kill << ": both images intact\n" << outcome.err;
    }
}

TEST_F(UpdateAll, NoDeviceAtAll)
{
    Outcome outcome = run({"--mode", "none"}, {"--all", "img.bin"});
    EXPECT_EQ(outcome.out, NOT_FOUND);
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(UpdateAll, ARefusedImageTouchesNoDevice)
{
    makeFile("empty.bin", "");
    Outcome outcome = run({"--also", "normal"}, {"--all", "empty.bin"});
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "fwlaunch: cannot use empty.bin: it is empty\n");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(reportsReceived("1-1").empty());
}

// Runs `fwlaunch --all` in a terminal (tmux), keeps every screen seen
// while it ran, and the screen as it stands once it has ended.
class UpdateAllOnATerminal : public UpdateAll {
protected:
    void TearDown() override
    {
        std::system((tmux() + " kill-server 2>/dev/null").c_str());
        UpdateAll::TearDown();
    }

    std::string tmux() const { return "tmux -L fwlaunch-test-" + std::to_string(getpid()); }

    std::string capture()
    {
        EXPECT_EQ(std::system((tmux() + " capture-pane -p > " + path("screen")).c_str()), 0);
        return readFile(path("screen"));
    }

    std::string screenAfter(const std::string &command, Words &screens_while_running)
    {
        makeFile("on-a-terminal.sh", command + "\necho \"ended $?\" > ended\nsleep 60\n");
        std::string start = tmux() + " new-session -d -x 100 -y 40 -c " + dir + " 'sh on-a-terminal.sh'";
        EXPECT_EQ(std::system(start.c_str()), 0);
        for (int i = 0; i < 600 && readFile(path("ended")).empty(); i++) {
            screens_while_running.push_back(capture());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return capture();
    }
};

// The rows of the table (and of the summary): a port, then its phase.
Words tableRows(const std::string &screen)
{
    Words rows;
    for (const std::string &line : linesOf(screen))
        if (std::regex_match(line, std::regex("1-10?0?  +[a-z].*")))
            rows.push_back(line);
    return rows;
}

TEST_F(UpdateAllOnATerminal, TheTableShowsOneRowPerDeviceAndEndsWithEachInItsFinalState)
{
    makeFile("big.bin", firmwareImage(2000000));
    std::string sim = std::string(ONDRIX_SIM) +
                      " --mode normal --fail-download-after 5 --also normal --also bootloader -- " + launcherPath() +
                      " --all big.bin 2>/dev/null";
    Words screens;
    std::string screen = screenAfter("PATH=/usr/bin:/bin " + sim, screens);
    EXPECT_EQ(readFile(path("ended")), "ended 1\n") << screen;
    // While it ran: one row per device, the download's progress among them.
    bool progress_seen = false;
    for (const std::string &seen : screens) {
        if (contains(seen, "ondrix devices updated"))
            break;
        Words rows = tableRows(seen);
        EXPECT_LE(rows.size(), 3u) << seen;
        for (const std::string &row : rows)
            progress_seen = progress_seen || std::regex_match(row, std::regex("1-10?0?  +downloading [0-9]+ %"));
    }
    EXPECT_TRUE(progress_seen);
    // At the end, the table in its final state, redrawn in place (no row
    // of an earlier phase left on the screen), then the summary.
    Words rows = tableRows(screen);
    ASSERT_EQ(rows.size(), 6u) << screen;
    EXPECT_EQ(Words(rows.begin(), rows.begin() + 3), (Words{"1-1    failed", "1-10   updated", "1-100  updated"}))
        << screen;
    EXPECT_TRUE(contains(screen, "2 of 3 ondrix devices updated")) << screen;
}

// The table follows the phases each update tells: a bootloader that comes
// late, then a download (the dfu-util stand-in draws no progress bar).
TEST_F(UpdateAllOnATerminal, TheTableShowsThePhaseEachUpdateTells)
{
    std::string sim = std::string(ONDRIX_SIM) + " --switch-delay 1500 -- " + launcherPath() + " --all img.bin";
    Words screens;
    screenAfter("PATH=" + std::string(DFU_UTIL_STAND_IN_DIR) + ":/usr/bin:/bin DFU_UTIL_SECONDS=1.5 " +
                    "DFU_UTIL_RECORD=dfu-util.record " + sim,
                screens);
    Words rows_seen;
    for (const std::string &seen : screens)
        for (const std::string &row : tableRows(seen))
            if (rows_seen.empty() || rows_seen.back() != row)
                rows_seen.push_back(row);
    auto waiting = std::find(rows_seen.begin(), rows_seen.end(), "1-1  waiting for the bootloader");
    EXPECT_NE(waiting, rows_seen.end()) << screens.back();
    EXPECT_NE(std::find(waiting, rows_seen.end(), "1-1  downloading 0 %"), rows_seen.end()) << screens.back();
    EXPECT_EQ(readFile(path("ended")), "ended 0\n");
}

// --watch on a terminal: the devices under way above a status line, while
// it waits and after two devices. Ctrl-C ends it once both downloads have
// ended (the dfu-util stand-in marks each end), however long they took.
TEST_F(UpdateAllOnATerminal, TheWatchShowsItsDevicesAndAStatusLine)
{
    makeFolder("bin");
    makeFile("bin/dfu-util", "#!/bin/sh\n" + std::string(DFU_UTIL_STAND_IN_DIR) +
                                 "/dfu-util \"$@\"; status=$?\necho ended >> downloads\nexit $status\n");
    chmod(path("bin/dfu-util").c_str(), 0755);
    makeFile("watch.sh", "(until [ \"$(grep -c ended downloads 2>/dev/null)\" = 2 ]; do sleep 0.1; done; "
                         "sleep 1; kill -INT $$) &\nexec " + launcherPath() + " --watch img.bin\n");
    std::string sim = std::string(ONDRIX_SIM) + " --mode none --plug 1000:normal --plug 1000:normal -- sh watch.sh";
    Words screens;
    std::string end = screenAfter("PATH=" + path("bin") + ":/usr/bin:/bin DFU_UTIL_SECONDS=1 " +
                                      "DFU_UTIL_RECORD=dfu-util.record " + sim,
                                  screens);
    auto seen = [&](const std::string &pattern) {
        return std::any_of(screens.begin(), screens.end(), [&](const std::string &screen) {
            return std::regex_search(screen, std::regex(pattern));
        });
    };
    EXPECT_TRUE(seen("\n0 updated, 0 failed, 0 updating, waiting for devices\n")) << end;
    EXPECT_TRUE(seen("1-1   downloading 0 %\n1-10  downloading 0 %\n0 updated, 0 failed, 2 updating\n")) << end;
    EXPECT_TRUE(seen("\n2 updated, 0 failed, 0 updating, waiting for devices\n")) << end;
    EXPECT_EQ(readFile(path("ended")), "ended 130\n") << end;
}

using ChooseBySerial = LauncherTest;

TEST_F(ChooseBySerial, TheDeviceWithThatSerialNumberIsUpdatedInEitherMode)
{
    Outcome normal = run({"--mode", "normal", "--also", "normal"}, {"--serial", "OX-000002", "img.bin"});
    EXPECT_EQ(normal.status, 0) << normal.out << normal.err;
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-10"));
    EXPECT_TRUE(reportsReceived("1-1").empty());
    EXPECT_EQ(reportsReceived("1-10").size(), 2u);
    EXPECT_EQ(normal.out.find("ondrix devices attached"), std::string::npos) << "as if it were the only one";

    Outcome bootloader = run({"--mode", "normal", "--also", "bootloader"}, {"--serial=OX-000002", "img.bin"});
    EXPECT_EQ(bootloader.status, 0);
    EXPECT_TRUE(contains(bootloader.out, "the divce is already in usb bootloader mode\n")) << bootloader.out;
    EXPECT_EQ(dfuUtilRecord(), dfuUtilRecordOf(dir, "img.bin", "1-10"));
}

TEST_F(ChooseBySerial, NoneOrSeveralDevicesWithIt)
{
    Outcome none = run({"--also", "normal"}, {"--serial", "OX-999999", "img.bin"});
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "fwlaunch: no ondrix device has serial number OX-999999\n");
    EXPECT_EQ(none.status, 1);

    // The device in normal mode and a second one in its bootloader carry
    // the same serial number.
    Outcome several = run({"--mode", "both"}, {"--serial", "OX-000001", "img.bin"});
    EXPECT_EQ(several.out, "");
    EXPECT_EQ(several.err,
              "fwlaunch: 2 ondrix devices have serial number OX-000001 (ports 1-1, 1-10); choose one with --port\n");
    EXPECT_EQ(several.status, 1);
    EXPECT_TRUE(reportsReceived("1-1").empty());
}

using UsageErrors = LauncherTest;

TEST_F(UsageErrors, ConflictingOrMalformedSeveralDeviceOptions)
{
    for (const Words &args : {Words{"--watch", "--all", "img.bin"}, Words{"--serial", "OX-000001", "--all", "img.bin"},
                              Words{"--count", "2", "--all", "img.bin"}, Words{"--json", "img.bin"},
                              Words{"--watch", "--timeout", "0", "img.bin"}, Words{"--log-dir", ".", "img.bin"},
                              Words{"--port", "1-1", "--port", "1-10", "img.bin"}, Words{"--watch", "--port=", "img.bin"},
                              Words{"--port", "1-1", "--serial", "OX-000001", "img.bin"},
                              Words{"--jobs", "2", "img.bin"}, Words{"--all", "--jobs", "0", "img.bin"},
                              Words{"--all", "--jobs=two", "img.bin"}, Words{"--all", "--all", "img.bin"},
                              Words{"--serial", "", "img.bin"}, Words{"--all"}}) {
        Outcome outcome = run({"--also", "normal"}, args);
        EXPECT_EQ(outcome.out, usageText()) << args[0] << " " << args[1];
        EXPECT_EQ(outcome.status, 2);
        EXPECT_TRUE(reportsReceived("1-1").empty());
    }
    Outcome no_log_dir = run({"--also", "normal"}, {"--watch", "--log-dir", "missing", "img.bin"});
    EXPECT_EQ(no_log_dir.err, "fwlaunch: cannot write logs in missing: No such file or directory\n");
    EXPECT_EQ(no_log_dir.status, 2);
    EXPECT_TRUE(reportsReceived("1-1").empty());
}

} // namespace
