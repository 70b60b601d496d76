// fwlaunch: brings an ondrix device into its USB bootloader and hands the
// firmware image to dfu-util. This file reads the command line; the
// update of a device is the update module's.

#include "device.h"
#include "json_view.h"
#include "log_view.h"
#include "phase_channel.h"
#include "preflight.h"
#include "sha256.h"
#include "supervisor.h"
#include "text_view.h"
#include "update.h"
#include "usb_port.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

// Exit statuses of the runs that end in the launcher itself; a successful
// hand-off ends with dfu-util's own status instead.
const int EXIT_UPDATE_FAILED = 1;
const int EXIT_USAGE = 2;

// Bounds of the numbers the command line takes: updates at a time,
// devices a watch takes up, and the seconds an update may take.
const size_t MOST_JOBS = 4096;
const size_t MOST_DEVICES = 1000000;
const size_t LONGEST_TIMEOUT_SECONDS = 7 * 24 * 3600;

void printhelp()
{
    printf("usage:\n");
    printf("<sudo ./fwlaunch img>\n\n");
}

// What --help prints: the usage text, then the options, what the
// argument is and what the exit statuses mean.
void printFullHelp()
{
    printhelp();
    printf("img is the firmware image. fwlaunch switches the attached ondrix\n");
    printf("device into its USB bootloader and hands img to dfu-util, which\n");
    printf("downloads it into that same device.\n");
    printf("\n");
    printf("Options, before img:\n");
    printf("  --port PORT  update only the ondrix device on USB port PORT\n");
    printf("               (also --port=PORT); with --all or --watch: only\n");
    printf("               the devices on ports that match the shell pattern\n");
    printf("               PORT (3-2.* is every port behind the hub on 3-2);\n");
    printf("               may be given more than once\n");
    printf("  --serial SN  update only the ondrix device with serial number SN,\n");
    printf("               as --list shows it (also --serial=SN)\n");
    printf("  --all        update every attached ondrix device, side by side\n");
    printf("  --watch      update every attached ondrix device, then each one\n");
    printf("               plugged in, until stopped (Ctrl-C)\n");
    printf("  --jobs N     with --all or --watch: at most N updates at a time\n");
    printf("               (default: all)\n");
    printf("  --count N    with --watch: take up N devices, then end once their\n");
    printf("               updates have ended\n");
    printf("  --timeout S  with --all or --watch: stop an update still running\n");
    printf("               after S seconds (SIGTERM, then SIGKILL)\n");
    printf("  --json       with --all or --watch: print JSON Lines, one event\n");
    printf("               a line, instead of text (see the manual page)\n");
    printf("  --log-dir DIR  with --all or --watch: write each update's lines\n");
    printf("               and result to a file of its own in DIR\n");
    printf("  --list       list the attached ondrix devices, one a line: port,\n");
    printf("               mode, identity, hidraw node, serial number\n");
    printf("  --help       print this text\n");
    printf("  --version    print the version\n");
    printf("\n");
    printf("A port is the path of the device on the USB bus, as the kernel names\n");
    printf("it and dfu-util -p takes it: bus-port, then .port for each hub in\n");
    printf("between (1-1, 3-2.4). The device keeps its port when it switches to\n");
    printf("its bootloader. --list shows the port of each device. With several\n");
    printf("ondrix devices attached and no --port, --serial or --all, fwlaunch\n");
    printf("updates the first one in normal mode (if none, the first bootloader)\n");
    printf("and says which.\n");
    printf("\n");
    printf("--all updates each device in a process of its own, as --port would,\n");
    printf("and prefixes each line of its output with the port, as [1-2]. On\n");
    printf("a terminal a table below shows each device's progress. At the end\n");
    printf("it prints one line per port (updated, failed, busy, interrupted)\n");
    printf("and how many devices were updated. Ctrl-C stops every update and\n");
    printf("names the devices left in their bootloader: the next run updates\n");
    printf("them from there.\n");
    printf("\n");
    printf("--watch takes up each ondrix device as it arrives, in normal mode\n");
    printf("or in its bootloader, once udev has finished with it (where udev\n");
    printf("does not run, it also looks once a second), and says what came of\n");
    printf("each. It never updates a device twice: one updated in this watch\n");
    printf("that comes back (its own reset after the download, a replug) is\n");
    printf("reported as already updated. A device is known by its serial\n");
    printf("number; one without is known by its port, and taken for the same\n");
    printf("device when it comes back to that port within 5 seconds of the last\n");
    printf("device leaving it. A device whose update failed is taken up again\n");
    printf("when it is plugged in anew. Arrivals on a port whose update is\n");
    printf("under way belong to that update.\n");
    printf("\n");
    printf("Only SIGINT (Ctrl-C), SIGTERM and SIGKILL stop an update. A closed\n");
    printf("terminal (SIGHUP) or a reader of the output that goes away\n");
    printf("(SIGPIPE) does not: every update under way goes on to its end,\n");
    printf("--all and --watch start no more devices, and the summary goes where\n");
    printf("it can still be written (standard error when standard output is\n");
    printf("gone).\n");
    printf("\n");
    printf("Before it touches a device, fwlaunch checks that img is a file it may\n");
    printf("read and not empty, and when img ends in a DFU suffix, that the\n");
    printf("suffix's CRC matches and its IDs are the ondrix bootloader's\n");
    printf("(040e:f003, or ffff for any); and that dfu-util is on PATH. One run\n");
    printf("at a time updates a device: a run holds a lock on the device's port\n");
    printf("until dfu-util has finished, and another run for that port fails.\n");
    printf("\n");
    printf("Exit status:\n");
    printf("  dfu-util's own  once img has been handed to dfu-util\n");
    printf("  0               --list listed a device; --help, --version; --all\n");
    printf("                  or --watch updated every device it took up\n");
    printf("  1               no ondrix device (with that serial number, or more\n");
    printf("                  than one), the switch to the bootloader failed,\n");
    printf("                  dfu-util is not on PATH or could not be started,\n");
    printf("                  another run is updating the device, --all or\n");
    printf("                  --watch did not update every device it took up\n");
    printf("                  (or --all found none), or the output of --list,\n");
    printf("                  --help or --version failed\n");
    printf("  2               no argument, img does not exist or cannot be\n");
    printf("                  downloaded, DIR cannot be written, or the options\n");
    printf("                  are wrong (PORT is not a port path, --serial with\n");
    printf("                  --port, --all or --watch, --all with --watch,\n");
    printf("                  --jobs, --timeout, --json or --log-dir without\n");
    printf("                  --all or --watch, --count without --watch)\n");
    printf("  130, 143        --all or --watch was stopped by SIGINT (Ctrl-C)\n");
    printf("                  or SIGTERM\n");
    printf("  255             the HID layer could not be initialised\n");
}

bool firstArgumentIs(int argc, char *argv[], const char *option)
{
    return argc >= 2 && strcmp(argv[1], option) == 0;
}

// A missing image is a usage error; what can be wrong with one that
// exists is for checkImageContents to say.
int checkimg(const char *filename)
{
    if (filename == nullptr || access(filename, F_OK) != 0)
        return -1;
    return 1;
}

// Ends a run whose whole purpose is its output: a listing nobody
// received is a failure.
int finishOutput(int status)
{
    if (fflush(stdout) == 0 && ferror(stdout) == 0)
        return status;
    fprintf(stderr, "fwlaunch: cannot write the output: %s\n", strerror(errno != 0 ? errno : EIO));
    return EXIT_UPDATE_FAILED;
}

int listDevices()
{
    std::vector<OndrixDevice> devices = listOndrixDevices();
    if (devices.empty()) {
        printNotFound();
        return finishOutput(EXIT_UPDATE_FAILED);
    }
    std::stable_sort(devices.begin(), devices.end(), [](const OndrixDevice &a, const OndrixDevice &b) {
        return portPathLess(a.port, b.port);
    });
    for (const OndrixDevice &device : devices)
        printf("%s  %s  %04hx:%04hx  %s  %ls\n", device.port.empty() ? "-" : device.port.c_str(),
               device.in_bootloader ? "bootloader" : "normal", device.vendor_id, device.product_id,
               device.node.c_str(), device.serial.empty() ? L"-" : device.serial.c_str());
    return finishOutput(EXIT_SUCCESS);
}

// The ports of the attached ondrix devices, each once, in the order of
// the bus, as --list shows them.
std::vector<std::string> attachedPorts(const std::vector<OndrixDevice> &devices)
{
    std::vector<std::string> ports;
    for (const OndrixDevice &device : devices)
        if (!device.port.empty() && std::find(ports.begin(), ports.end(), device.port) == ports.end())
            ports.push_back(device.port);
    std::sort(ports.begin(), ports.end(), portPathLess);
    return ports;
}

// The serial number as --list shows it: "-" for a device without one.
std::wstring shownSerial(const OndrixDevice &device)
{
    return device.serial.empty() ? L"-" : device.serial;
}

std::wstring wideText(const char *text)
{
    std::wstring wide(strlen(text) + 1, L'\0');
    size_t length = mbstowcs(&wide[0], text, wide.size());
    wide.resize(length == static_cast<size_t>(-1) ? 0 : length);
    return wide;
}

// The port of the one ondrix device with serial number `serial`; empty,
// after saying why on standard error, when there is none or more than one.
std::string portOfSerial(const char *serial)
{
    std::vector<OndrixDevice> matching;
    std::wstring wanted = wideText(serial);
    for (const OndrixDevice &device : listOndrixDevices())
        if (!wanted.empty() && shownSerial(device) == wanted)
            matching.push_back(device);
    std::vector<std::string> ports = attachedPorts(matching);
    if (ports.empty()) {
        fprintf(stderr, "fwlaunch: no ondrix device has serial number %s\n", serial);
    } else if (ports.size() > 1) {
        fprintf(stderr, "fwlaunch: %zu ondrix devices have serial number %s (ports ", ports.size(), serial);
        for (size_t i = 0; i < ports.size(); i++)
            fprintf(stderr, "%s%s", i == 0 ? "" : ", ", ports[i].c_str());
        fprintf(stderr, "); choose one with --port\n");
    }
    return ports.size() == 1 ? ports.front() : "";
}

// What the command line asks for, options first, then the image.
struct CommandLine {
    std::vector<const char *> ports; // one port, or with --all or --watch patterns
    const char *serial = nullptr;
    const char *jobs = nullptr;
    const char *count = nullptr;
    const char *timeout = nullptr;
    const char *log_dir = nullptr;
    bool all = false;
    bool watch = false;
    bool json = false;
    const char *img = nullptr;
    bool valid = true;
};

// Takes an option's value, from "--name=VALUE" or from the next argument.
// True when argv[*at] is that option.
bool takeValue(const char *name, int argc, char *argv[], int *at, const char **value, bool *valid)
{
    size_t length = strlen(name);
    const char *arg = argv[*at];
    if (strncmp(arg, name, length) != 0 || (arg[length] != '\0' && arg[length] != '='))
        return false;
    if (*value != nullptr)
        *valid = false; // given twice
    if (arg[length] == '=') {
        *value = arg + length + 1;
    } else if (*at + 1 < argc) {
        *value = argv[++*at];
    } else {
        *value = "";
        *valid = false;
    }
    return true;
}

// A flag such as --all; given twice is a usage error.
bool takeFlag(const char *name, const char *arg, bool *flag, bool *valid)
{
    if (strcmp(arg, name) != 0)
        return false;
    *valid = *valid && !*flag;
    *flag = true;
    return true;
}

// --port is given once for one device, or once per pattern.
bool takePort(int argc, char *argv[], int *at, CommandLine &line)
{
    const char *port = nullptr;
    bool valid = true;
    if (!takeValue("--port", argc, argv, at, &port, &valid))
        return false;
    line.valid = line.valid && valid;
    line.ports.push_back(port);
    return true;
}

// A positive whole number of at most `most`. Read with from_chars, not
// strtol: the C library of Debian 13 turns strtol into a function that
// Debian 12's does not have, and the package built on 13 would then not
// install on 12.
bool isCount(const char *text, size_t most, size_t *count)
{
    const char *end = text + strlen(text);
    unsigned long value = 0;
    std::from_chars_result read = std::from_chars(text, end, value);
    if (*text < '1' || *text > '9' || read.ptr != end || read.ec != std::errc() || value > most)
        return false;
    *count = static_cast<size_t>(value);
    return true;
}

bool takeOption(int argc, char *argv[], int *at, CommandLine &line)
{
    const char *arg = argv[*at];
    return takeFlag("--all", arg, &line.all, &line.valid) || takeFlag("--watch", arg, &line.watch, &line.valid) ||
           takeFlag("--json", arg, &line.json, &line.valid) || takePort(argc, argv, at, line) ||
           takeValue("--serial", argc, argv, at, &line.serial, &line.valid) ||
           takeValue("--jobs", argc, argv, at, &line.jobs, &line.valid) ||
           takeValue("--count", argc, argv, at, &line.count, &line.valid) ||
           takeValue("--timeout", argc, argv, at, &line.timeout, &line.valid) ||
           takeValue("--log-dir", argc, argv, at, &line.log_dir, &line.valid);
}

CommandLine readCommandLine(int argc, char *argv[])
{
    CommandLine line;
    int at = 1;
    while (at < argc && takeOption(argc, argv, &at, line))
        at++;
    line.img = at < argc ? argv[at] : nullptr;
    bool several = line.all || line.watch;
    for (const char *port : line.ports)
        if (several ? *port == '\0' : !isPortPath(port))
            line.valid = false;
    if (!several && line.ports.size() > 1)
        line.valid = false;
    if (line.serial != nullptr && line.serial[0] == '\0')
        line.valid = false;
    // One device by its port or by its serial number, or several devices.
    if ((!line.ports.empty() && !several) + (line.serial != nullptr) + line.all + line.watch > 1)
        line.valid = false;
    // What only an update of several devices takes.
    if (!several && (line.jobs != nullptr || line.json || line.timeout != nullptr || line.log_dir != nullptr))
        line.valid = false;
    if (line.count != nullptr && !line.watch)
        line.valid = false;
    return line;
}

// The options of --all and --watch; false when a number is not one.
bool readSupervisorOptions(const CommandLine &line, SupervisorOptions *options)
{
    options->img = line.img;
    options->watch = line.watch;
    for (const char *pattern : line.ports)
        options->ports.add(pattern);
    size_t seconds = 0;
    if ((line.jobs != nullptr && !isCount(line.jobs, MOST_JOBS, &options->jobs)) ||
        (line.count != nullptr && !isCount(line.count, MOST_DEVICES, &options->count)) ||
        (line.timeout != nullptr && !isCount(line.timeout, LONGEST_TIMEOUT_SECONDS, &seconds)))
        return false;
    options->timeout_seconds = static_cast<double>(seconds);
    return true;
}

// --all and --watch: the views of the run, then the run.
int updateSeveral(const CommandLine &line, SupervisorOptions &options)
{
    std::unique_ptr<FleetView> text, json, logs;
    std::vector<FleetView *> views;
    if (line.json) {
        options.image.path = line.img;
        if (!sha256OfFile(line.img, &options.image.sha256, &options.image.size)) {
            fprintf(stderr, "fwlaunch: cannot use %s: %s\n", line.img, strerror(errno));
            return EXIT_USAGE;
        }
        json = std::make_unique<JsonView>();
        views.push_back(json.get());
    } else {
        text = newTextView();
        views.push_back(text.get());
    }
    if (line.log_dir != nullptr) {
        logs = std::make_unique<LogView>(line.log_dir);
        views.push_back(logs.get());
    }
    return superviseUpdates(options, views, runUpdate);
}

// The command line: --list, or [--port PORT | --serial SN | --all |
// --watch] [options] img [ignored...]
int runCommand(int argc, char *argv[])
{
    if (firstArgumentIs(argc, argv, "--list"))
        return listDevices();
    CommandLine line = readCommandLine(argc, argv);
    SupervisorOptions several;
    if (!line.valid || !readSupervisorOptions(line, &several) || checkimg(line.img) == -1) {
        printhelp();
        return EXIT_USAGE;
    }
    // Nothing is switched into the bootloader for an update that cannot
    // go through.
    if (checkImageContents(line.img) == -1)
        return EXIT_USAGE;
    if (line.log_dir != nullptr && checkLogDir(line.log_dir) == -1)
        return EXIT_USAGE;
    if (checkDfuUtilIsInstalled() == -1)
        return EXIT_UPDATE_FAILED;
    if (line.all || line.watch)
        return updateSeveral(line, several);
    std::string port = line.ports.empty() ? "" : line.ports.front();
    if (line.serial != nullptr) {
        port = portOfSerial(line.serial);
        if (port.empty())
            return EXIT_UPDATE_FAILED;
    }
    return runUpdate(line.img, port, NO_PHASE_CHANNEL);
}

} // namespace

int main(int argc, char *argv[])
{
    // Line buffering keeps our lines in order with dfu-util's when the
    // output goes to a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Serial numbers are wide strings; without the user's character set
    // hidapi and printf drop any that are not plain ASCII.
    setlocale(LC_CTYPE, "");

    // The two options answer before the HID layer is touched.
    if (firstArgumentIs(argc, argv, "--help")) {
        printFullHelp();
        return finishOutput(EXIT_SUCCESS);
    }
    if (firstArgumentIs(argc, argv, "--version")) {
        printf("fwlaunch %s\n", FWLAUNCH_VERSION);
        return finishOutput(EXIT_SUCCESS);
    }

    int ret_init = hid_init();
    if (ret_init != 0) {
        printf("hid_init() call failed (%d)!", ret_init);
        return -1;
    }

    int status = runCommand(argc, argv);
    // end_exit: every run that does not become dfu-util closes here.
    hid_exit();
    return status;
}
