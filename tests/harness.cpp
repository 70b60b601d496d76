#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

std::string readFile(const std::string &name)
{
    std::ifstream file(name, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

Words linesOf(const std::string &text)
{
    Words result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where the `occurrence`-th `text` ends in `out`; npos if it is not there.
size_t endOfOccurrence(const std::string &out, const std::string &text, int occurrence)
{
    size_t at = std::string::npos;
    for (int seen = 0; seen < occurrence; seen++) {
        at = out.find(text, at == std::string::npos ? 0 : at + 1);
        if (at == std::string::npos)
            return at;
    }
    return at + text.size();
}

// Reads standard output to its end, noting when each piece came, and sends
// `pid` the cue's signal when its time comes.
void readAsItComes(int fd, pid_t pid, const SignalCue &cue, Clock::time_point start, Outcome &outcome)
{
    const double never = std::numeric_limits<double>::infinity();
    double signal_at = never;
    bool cue_pending = cue.occurrence > 0;
    char chunk[4096];
    for (;;) {
        int timeout = -1;
        if (signal_at != never)
            timeout = std::max(0, static_cast<int>(std::ceil((signal_at - secondsSince(start)) * 1000)));
        pollfd readable = {fd, POLLIN, 0};
        int ready = poll(&readable, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (signal_at != never && secondsSince(start) >= signal_at) {
            kill(pid, SIGUSR1);
            outcome.signalled = secondsSince(start);
            signal_at = never;
        }
        if (ready == 0)
            continue;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return;
        outcome.out.append(chunk, static_cast<size_t>(n));
        outcome.arrivals.push_back({outcome.out.size(), secondsSince(start)});
        if (cue_pending && endOfOccurrence(outcome.out, cue.text, cue.occurrence) != std::string::npos) {
            signal_at = outcome.arrivals.back().seconds + cue.delay;
            cue_pending = false;
        }
    }
}

// FWLAUNCH_TEST_WRAPPER puts a tool such as valgrind in front of the
// launcher for the whole suite; "{reports}" in it stands for the folder
// where the tool is to leave its reports.
std::string findProgram(const std::string &name)
{
    std::istringstream search(getenv("PATH") != nullptr ? getenv("PATH") : "");
    for (std::string folder; std::getline(search, folder, ':');)
        if (access((folder + "/" + name).c_str(), X_OK) == 0)
            return folder + "/" + name;
    return name;
}

Words wrapperWords(const std::string &reports)
{
    const char *wrapper = getenv("FWLAUNCH_TEST_WRAPPER");
    Words words;
    std::istringstream stream(wrapper != nullptr ? wrapper : "");
    for (std::string word; stream >> word;) {
        size_t token = word.find("{reports}");
        if (token != std::string::npos)
            word.replace(token, strlen("{reports}"), reports);
        words.push_back(words.empty() ? findProgram(word) : word);
    }
    return words;
}

std::string builtUnderTest(const std::string &built_here, const char *path_in_build)
{
    const char *build = getenv("FWLAUNCH_BUILD_UNDER_TEST");
    return build != nullptr && *build != '\0' ? std::string(build) + "/" + path_in_build : built_here;
}

// Sanitizers built into the launcher report on standard error: their
// log_path would have them open files before the testbed's library is
// ready, which crashes.
const Words SANITIZER_SETTINGS = {"ASAN_OPTIONS=detect_leaks=1",
                                  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"};

std::vector<char *> argvOf(Words &words)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return argv;
}

double toSeconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `command` with standard output on a pipe, as when the launcher's
// output is piped into another program.
Outcome spawn(Words command, const std::string &cwd, const Words &env, const std::string &err_file,
              const SignalCue &cue)
{
    int out_pipe[2];
    if (pipe(out_pipe) != 0)
        return Outcome{"", "pipe failed", -1};
    timespec real_start;
    clock_gettime(CLOCK_REALTIME, &real_start);
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err_fd, STDERR_FILENO);
        close(out_pipe[0]);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const std::string &setting : env)
            putenv(strdup(setting.c_str()));
        std::vector<char *> argv = argvOf(command);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    Outcome outcome;
    outcome.started_at = static_cast<double>(real_start.tv_sec) + static_cast<double>(real_start.tv_nsec) / 1e9;
    readAsItComes(out_pipe[0], pid, cue, start, outcome);
    close(out_pipe[0]);
    int wait_status = 0;
    rusage usage{};
    wait4(pid, &wait_status, 0, &usage);
    outcome.seconds = secondsSince(start);
    outcome.cpu_seconds = toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
    outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    outcome.err = readFile(err_file);
    return outcome;
}

} // namespace

std::string launcherPath() { return builtUnderTest(FWLAUNCH_BUILT, "fwlaunch"); }

std::string launcherWithHidapiStandInPath()
{
    return builtUnderTest(FWLAUNCH_WITH_HIDAPI_STAND_IN_BUILT, "tests/fwlaunch-hidapi-stand-in");
}

void LauncherTest::SetUp()
{
    char scratch[] = "/tmp/fwlaunch-test.XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    dir = scratch;
    cwd = ".";
    search_path = std::string(DFU_UTIL_STAND_IN_DIR) + ":/usr/bin:/bin";
    makeFile("img.bin");
    makeFolder("reports");
}

void LauncherTest::TearDown()
{
    if (!HasFailure())
        std::filesystem::remove_all(dir);
    else
        fprintf(stderr, "scratch folder kept: %s\n", dir.c_str());
}

Outcome LauncherTest::run(const Words &sim_options, const Words &args)
{
    Words command = wrapperWords(path("reports"));
    command.push_back(launcherPath());
    command.insert(command.end(), args.begin(), args.end());
    return simulate(sim_options, command);
}

Outcome LauncherTest::simulate(const Words &sim_options, const Words &command)
{
    Words sim = {ONDRIX_SIM};
    sim.insert(sim.end(), sim_options.begin(), sim_options.end());
    Words more = {"--log", path("sim.log"), "--"};
    sim.insert(sim.end(), more.begin(), more.end());
    sim.insert(sim.end(), command.begin(), command.end());
    return launch(sim, {});
}

Outcome LauncherTest::runShell(const Words &sim_options, const std::string &script)
{
    extra_env.push_back("FWLAUNCH=" + launcherPath());
    Outcome outcome = simulate(sim_options, {"/bin/sh", "-c", script});
    extra_env.pop_back();
    return outcome;
}

Outcome LauncherTest::launch(const Words &command, const Words &settings)
{
    Words env = SANITIZER_SETTINGS;
    env.push_back("PATH=" + search_path);
    env.push_back("DFU_UTIL_RECORD=" + path("dfu-util.record"));
    env.insert(env.end(), settings.begin(), settings.end());
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    Outcome outcome = spawn(command, path(cwd), env, path("stderr"), cue);
    expectNoToolReports(outcome.err);
    return outcome;
}

// Any report a sanitizer or valgrind left is a failure of the test.
void LauncherTest::expectNoToolReports(const std::string &err)
{
    for (const char *marker : {"Sanitizer", "runtime error:"})
        if (err.find(marker) != std::string::npos)
            ADD_FAILURE() << err;
    for (const auto &entry : std::filesystem::directory_iterator(path("reports"))) {
        std::string report = readFile(entry.path());
        if (!report.empty())
            ADD_FAILURE() << entry.path().filename() << ":\n" << report;
        std::filesystem::remove(entry.path());
    }
}

Outcome LauncherTest::runWithHidapiStandIn(const std::string &behaviour, const Words &args)
{
    Words command = wrapperWords(path("reports"));
    command.push_back(launcherWithHidapiStandInPath());
    command.insert(command.end(), args.begin(), args.end());
    return launch(command, {"HIDAPI_STAND_IN=" + behaviour});
}

Words LauncherTest::dfuUtilRecord() const
{
    return linesOf(readFile(path("dfu-util.record")));
}

Words LauncherTest::reportsReceived(const std::string &port) const
{
    const std::string prefix = port + " report ";
    Words reports;
    for (const std::string &line : linesOf(simulatorLog()))
        if (line.rfind(prefix, 0) == 0)
            reports.push_back(line.substr(prefix.size()));
    return reports;
}

std::string LauncherTest::simulatorLog() const
{
    return readFile(path("sim.log"));
}

double LauncherTest::switchReportAt(const std::string &port) const
{
    return loggedTime(port + " switch-mode report at ");
}

double LauncherTest::bootloaderAttachedAt(const std::string &port) const
{
    return loggedTime(port + " bootloader attached at ");
}

double LauncherTest::loggedTime(const std::string &prefix) const
{
    for (const std::string &line : linesOf(simulatorLog()))
        if (line.rfind(prefix, 0) == 0)
            return std::stod(line.substr(prefix.size()));
    return std::numeric_limits<double>::quiet_NaN();
}

double LauncherTest::dfuUtilStartedAt() const
{
    std::string started = readFile(path("dfu-util.record") + ".started");
    return started.empty() ? std::numeric_limits<double>::quiet_NaN() : std::stod(started);
}

void LauncherTest::makeFile(const std::string &name, const std::string &content)
{
    std::ofstream(path(name), std::ios::binary) << content;
}

void LauncherTest::makeFolder(const std::string &name)
{
    std::filesystem::create_directory(path(name));
}

double arrivalOf(const Outcome &outcome, const std::string &text, int occurrence)
{
    size_t end = endOfOccurrence(outcome.out, text, occurrence);
    if (end != std::string::npos)
        for (const Arrival &arrival : outcome.arrivals)
            if (arrival.received >= end)
                return arrival.seconds;
    return std::numeric_limits<double>::infinity();
}

std::string usageText()
{
    return "usage:\n<sudo ./fwlaunch img>\n\n";
}

std::string deviceFoundBlock(const std::string &devnode, const std::string &serial)
{
    return "Device Found\n  type: 040e:f408\n  path: " + devnode + "\n  serial_number: " + serial + "\n";
}

std::string bootloaderBlock(const std::string &devnode, const std::string &serial)
{
    return "\nUsb bootloader mode:\n  type: 040e:f003\n  path: " + devnode +
           "\n  serial_number: " + serial + "\n";
}

std::string commandReport(unsigned cmd1, unsigned cmd2)
{
    char text[4];
    std::string report = "02";
    for (unsigned byte : {cmd1, cmd2}) {
        snprintf(text, sizeof text, " %02x", byte);
        report += text;
    }
    for (int i = 3; i < 63; i++)
        report += " 00";
    return report;
}

Words dfuUtilRecordOf(const std::string &cwd, const std::string &image, const std::string &port)
{
    return {cwd, "-d", "040e:f003,040e:f003", "-p", port, "-a", "0", "-D", image};
}

bool runsUnderATool()
{
    return getenv("FWLAUNCH_TEST_WRAPPER") != nullptr && *getenv("FWLAUNCH_TEST_WRAPPER") != '\0';
}
