// A station that runs all shift: --watch updates each ondrix device as it
// is plugged in, never twice; --json, --log-dir, --count, --timeout and
// --port patterns.
//
// The simulator's devices sit on ports 1-1, 1-10, 1-100, 1-101, ... in
// the order they are added, --plug devices after the others.

#include "harness.h"

#include <filesystem>
#include <regex>

namespace {

// Reads the JSON Lines of a run: that every line parses and is stamped,
// the image's SHA-256 in the start, and per device its results and its
// returns.
const char JSON_CHECK[] = R"(import hashlib, json, re, sys
events = [json.loads(line) for line in open(sys.argv[1])]
sha = hashlib.sha256(open(sys.argv[2], 'rb').read()).hexdigest()
stamp = re.compile(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$')
print('stamped', all(stamp.match(e['time']) for e in events))
print('start', events[0]['event'], events[0]['image']['sha256'] == sha)
for e in sorted((e for e in events if e['event'] == 'result'), key=lambda e: e['port']):
    print('result', e['port'], e['serial'], e['outcome'], e['status'], e['sha256'] == sha)
print('returns', sorted(e['port'] for e in events if e['event'] == 'already-updated'))
print('end', events[-1]['event'], events[-1]['updated'], events[-1]['devices'], events[-1]['status'])
)";

class Watch : public LauncherTest {
protected:
    void SetUp() override
    {
        LauncherTest::SetUp();
        makeFile("firmware.bin", std::string(20000, '\x5a'));
        makeFile("check.py", JSON_CHECK);
        makeFolder("logs");
    }

    // The number of complete downloads each device was logged with.
    int downloadsOf(const std::string &port) const
    {
        int count = 0;
        for (const std::string &line : linesOf(simulatorLog()))
            count += line.rfind(port + " download ", 0) == 0 && line.find(" complete at ") != std::string::npos;
        return count;
    }
};

Words verifyEach(const Words &ports, Words sim_options)
{
    for (const std::string &port : ports)
        sim_options.insert(sim_options.end(), {"--verify", port + "=firmware.bin"});
    return sim_options;
}

const Words FIVE_PORTS = {"1-1", "1-10", "1-100", "1-101", "1-102"};

TEST_F(Watch, EachDeviceIsUpdatedOnceAsItArrivesAndNeverTwice)
{
    search_path = "/usr/bin:/bin";
    // Two attached; three plugged in later: one in its bootloader, one
    // without a serial number. Each resets into normal mode after its
    // download; 1-102 is then replugged.
    Words sim = verifyEach(FIVE_PORTS, {"--mode", "normal", "--also", "normal", "--reset-after-download", "300",
                                        "--plug", "200:bootloader", "--plug", "400:normal:-", "--plug",
                                        "600:normal", "--replug", "signal:1-102"});
    Outcome outcome = runShell(
        sim, "\"$FWLAUNCH\" --watch --json --log-dir logs firmware.bin > w.json 2> w.err & w=$!\n"
             "returns() { grep -c \"already-updated\\\",\\\"port\\\":\\\"$1\" w.json; }\n"
             "until [ \"$(returns 1-102)\" = 1 ]; do sleep 0.05; done\n"
             "kill -USR2 $PPID\n"
             "until [ \"$(returns 1-102)\" = 2 ] && [ \"$(grep -c already-updated w.json)\" = 6 ]; do sleep 0.05; done\n"
             "kill -INT $w; wait $w; echo $? > w.status\n"
             "python3 check.py w.json firmware.bin > check.out 2>&1\n");
    EXPECT_EQ(readFile(path("w.status")), "130\n") << readFile(path("w.err"));
    EXPECT_EQ(readFile(path("check.out")),
              "stamped True\n"
              "start start True\n"
              "result 1-1 OX-000001 updated 0 True\n"
              "result 1-10 OX-000002 updated 0 True\n"
              "result 1-100 OX-000003 updated 0 True\n"
              "result 1-101 None updated 0 True\n"
              "result 1-102 OX-000005 updated 0 True\n"
              "returns ['1-1', '1-10', '1-100', '1-101', '1-102', '1-102']\n"
              "end summary 5 5 130\n");
    for (const std::string &port : FIVE_PORTS)
        EXPECT_EQ(downloadsOf(port), 1) << port;
    EXPECT_EQ(outcome.status, 0) << "every image intact:\n" << outcome.err;
    // A log per update: its lines as they came, its result last.
    int logs = 0;
    for (const auto &entry : std::filesystem::directory_iterator(path("logs"))) {
        Words lines = linesOf(readFile(entry.path()));
        logs++;
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(std::regex_match(lines.back(), std::regex("1-10?[0-2]? (OX-00000[1-5]|-): updated in [0-9.]+ s")))
            << lines.back();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Done!"), lines.end()) << entry.path();
    }
    EXPECT_EQ(logs, 5);
}

// A device without a serial number is known by its port: one that comes
// back within a few seconds of leaving it is the same device, one that
// comes later is another.
TEST_F(Watch, ADeviceWithoutASerialNumberIsKnownByItsPortForAFewSeconds)
{
    search_path = "/usr/bin:/bin";
    struct Case {
        std::string gap;
        std::string awaited;
        int downloads;
    } cases[] = {{"0.2", "already updated", 1}, {"6", "updated in", 2}};
    for (const Case &c : cases) {
        // w.out is emptied before the watch starts: the wait below must not
        // read the previous case's and pull the device out too early.
        runShell({"--mode", "none", "--plug", "0:normal:-", "--reset-after-download", "100", "--unplug",
                  "signal:1-1", "--replug", "signal:1-1"},
                 ": > w.out\n"
                 "\"$FWLAUNCH\" --watch firmware.bin > w.out 2> w.err & w=$!\n"
                 "until grep -q '1-1 -: already updated' w.out; do sleep 0.05; done\n"
                 "kill -USR2 $PPID; sleep " + c.gap + "; kill -USR2 $PPID\n"
                 "until [ \"$(grep -c '1-1 -: " + c.awaited + "' w.out)\" = 2 ]; do sleep 0.05; done\n"
                 "kill -INT $w; wait $w\n");
        EXPECT_EQ(downloadsOf("1-1"), c.downloads) << c.gap << "\n" << readFile(path("w.out"));
    }
}

TEST_F(Watch, CountEndsTheWatchAndTheStatusFollowsTheOutcomes)
{
    struct Case {
        Words sim;
        std::string status;
        std::string last_line;
    } cases[] = {
        {{"--mode", "normal"}, "0\n", "3 of 3 ondrix devices updated"},
        {{"--mode", "normal", "--fail-download-after", "1"}, "1\n", "2 of 3 ondrix devices updated"},
    };
    search_path = "/usr/bin:/bin";
    for (Case &c : cases) {
        c.sim.insert(c.sim.end(), {"--also", "normal", "--also", "normal", "--also", "normal"});
        Outcome outcome = runShell(c.sim, "\"$FWLAUNCH\" --watch --count 3 firmware.bin > w.out; echo $? > w.status");
        EXPECT_EQ(readFile(path("w.status")), c.status) << readFile(path("w.out"));
        EXPECT_EQ(linesOf(readFile(path("w.out"))).back(), c.last_line);
        EXPECT_TRUE(reportsReceived("1-101").empty()) << "the fourth device is left alone";
    }
}

TEST_F(Watch, AFailedDeviceWaitsUntilItIsPluggedInAnew)
{
    search_path = "/usr/bin:/bin";
    Outcome outcome = runShell(
        {"--mode", "normal", "--fail-first-download-after", "2", "--replug", "signal:1-1"},
        "\"$FWLAUNCH\" --watch firmware.bin > w.out 2> w.err & w=$!\n"
        "until grep -q 'OX-000001: failed' w.out; do sleep 0.05; done\n"
        // Time for a look at the bus, where udev does not run.
        "sleep 1.5; grep -c 'taking up' w.out > before-replug\n"
        "kill -USR2 $PPID\n"
        "until grep -q 'OX-000001: updated' w.out; do sleep 0.05; done\n"
        "kill -INT $w; wait $w; echo $? > w.status\n");
    EXPECT_EQ(readFile(path("before-replug")), "1\n") << readFile(path("w.out"));
    EXPECT_EQ(readFile(path("w.status")), "130\n");
    Words out = linesOf(readFile(path("w.out")));
    EXPECT_EQ(out.back(), "1 of 2 ondrix devices updated");
    EXPECT_TRUE(std::regex_match(out[out.size() - 2], std::regex("1-1 OX-000001: failed \\(status 74\\) after [0-9.]+ s: "
                                                                 "DFU state\\(10\\) = dfuERROR, status\\(3\\) = "
                                                                 "Device is unable to write memory")))
        << out[out.size() - 2];
}

TEST_F(Watch, PortPatternsLeaveOtherDevicesAloneAndATimeoutStopsAnUpdate)
{
    // The stand-in dfu-util takes a minute over every download; under a
    // tool the launcher itself needs a while to get there.
    const int timeout = runsUnderATool() ? 20 : 2;
    extra_env.push_back("DFU_UTIL_SECONDS=60");
    Outcome outcome = run({"--mode", "normal", "--also", "bootloader", "--also", "normal"},
                          {"--all", "--port", "1-10", "--port=1-10?", "--timeout", std::to_string(timeout), "img.bin"});
    Words out = linesOf(outcome.out);
    EXPECT_EQ(out.front(), "updating 2 ondrix devices: 1-10, 1-100; 1 left alone");
    EXPECT_EQ(Words(out.end() - 3, out.end()),
              (Words{"1-10   timed out while downloading", "1-100  timed out while downloading",
                     "0 of 2 ondrix devices updated"}));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(reportsReceived("1-1").empty());
    EXPECT_LT(outcome.seconds, timeout + 15) << "stopped long before the stand-in's minute";
}

} // namespace
