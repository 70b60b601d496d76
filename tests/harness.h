#ifndef FWLAUNCH_TESTS_HARNESS_H
#define FWLAUNCH_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

// How much of standard output had come through the pipe, and when,
// counted in seconds from the start of the run.
struct Arrival {
    size_t received;
    double seconds;
};

// SIGUSR1 for the simulator (with --switch-delay signal, the bootloader
// comes then), `delay` seconds after standard output has shown `text` for
// the `occurrence`-th time: a point in the launcher's own schedule,
// however slowly a busy machine runs it.
struct SignalCue {
    std::string text;
    int occurrence = 0; // 0: no signal
    double delay = 0;
};

// What a run of the launcher left behind.
struct Outcome {
    std::string out;
    std::string err;
    int status;
    // Processor time of the whole run, user and system: the launcher's
    // and the simulator's, which waits for it.
    double cpu_seconds = 0;
    // Wall-clock length of the run, and standard output read by read.
    double seconds = 0;
    std::vector<Arrival> arrivals;
    // The start of the run on the system's real-time clock, to place the
    // simulator's times on the run's, and when the cue's signal went.
    double started_at = 0;
    double signalled = std::numeric_limits<double>::quiet_NaN();
};

// When `text` (its first occurrence, or its `occurrence`-th) had wholly
// come through standard output, in seconds from the start of the run;
// infinity if it never did.
double arrivalOf(const Outcome &outcome, const std::string &text, int occurrence = 1);

using Words = std::vector<std::string>;

// Each test gets a scratch folder with an image in it, and runs the real
// launcher inside its own simulated device's testbed.
class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `fwlaunch ARGS` under `ondrix-sim SIM_OPTIONS` in the scratch
    // folder (or in `cwd` below it), with the dfu-util stand-in on PATH.
    Outcome run(const Words &sim_options, const Words &args);
    // Runs COMMAND under `ondrix-sim SIM_OPTIONS` the same way.
    Outcome simulate(const Words &sim_options, const Words &command);
    // Runs a shell script there, with the launcher's path in $FWLAUNCH.
    Outcome runShell(const Words &sim_options, const std::string &script);

    // Runs the launcher built against the hidapi stand-in, no testbed.
    Outcome runWithHidapiStandIn(const std::string &behaviour, const Words &args);

    // The stand-in's record: its working directory, then its arguments.
    Words dfuUtilRecord() const;
    // The reports the simulated device on `port` received, one hex line each.
    Words reportsReceived(const std::string &port = "1-1") const;
    // Everything the simulator recorded.
    std::string simulatorLog() const;
    // When the device on `port` received the switch-mode report, when the
    // bootloader came onto `port`, and when the dfu-util stand-in started:
    // seconds on the system's real-time clock.
    double switchReportAt(const std::string &port) const;
    double bootloaderAttachedAt(const std::string &port) const;
    double dfuUtilStartedAt() const;

    std::string path(const std::string &name) const { return dir + "/" + name; }
    void makeFile(const std::string &name, const std::string &content = "firmware");
    void makeFolder(const std::string &name);

    std::string dir;
    std::string cwd;         // working directory, relative to dir
    std::string search_path; // PATH for the launcher
    Words extra_env;         // NAME=VALUE pairs on top of the test environment
    SignalCue cue;           // for the simulator, during each run

private:
    Outcome launch(const Words &command, const Words &settings);
    void expectNoToolReports(const std::string &err);
    double loggedTime(const std::string &prefix) const;
};

// The expected texts.
std::string usageText();
std::string deviceFoundBlock(const std::string &devnode, const std::string &serial = "OX-000001");
std::string bootloaderBlock(const std::string &devnode, const std::string &serial = "OX-000001");
std::string commandReport(unsigned cmd1, unsigned cmd2);
// What the dfu-util stand-in records when started in `cwd` for `image`,
// pinned to the bootloader on `port`.
Words dfuUtilRecordOf(const std::string &cwd, const std::string &image, const std::string &port = "1-1");

std::string readFile(const std::string &name);
// The lines of a text, without their line feeds.
Words linesOf(const std::string &text);

// Whether a tool such as valgrind runs the launcher, many times slower.
bool runsUnderATool();

// The launcher under test, and the same launcher linked against the
// stand-in for hidapi: this build's, or those of the build folder
// FWLAUNCH_BUILD_UNDER_TEST names, such as one with the sanitizers (the
// simulator and the tests themselves need no second build).
std::string launcherPath();
std::string launcherWithHidapiStandInPath();

#endif
